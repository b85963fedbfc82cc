# The test reaches libBrisaDll.so and libntdll.so with dlopen, as the module does.
add_dependencies(${name} hx_sim_backends)
