# Loaded at run time by the module: build them with the test.
add_dependencies(${name} hx_sim_backends)
