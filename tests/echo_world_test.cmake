# The test reaches libBrisaDll.so with dlopen, as the module does.
add_dependencies(${name} hx_sim_backends)
target_link_libraries(${name} PRIVATE sndfile)
