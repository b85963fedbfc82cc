# The test drives the plain-capture stand-in and reads the speech WAV itself.
pkg_check_modules(HX_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
target_link_libraries(${name} PRIVATE sim_MirelDll PkgConfig::HX_TEST_SNDFILE)
add_dependencies(${name} hx_sim_backends)
