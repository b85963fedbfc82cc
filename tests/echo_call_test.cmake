# Stepped calls through the module (loaded at run time) on the simulated
# world's echo path, measured with the shared echo measurement.
add_dependencies(${name} hx_sim_backends)
target_link_libraries(${name} PRIVATE hxecho hxmeasure sndfile)
