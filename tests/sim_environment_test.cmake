# The test drives the plain-capture stand-in and reads the speech WAV itself.
pkg_check_modules(HX_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
target_link_libraries(${name} PRIVATE sim_MirelDll PkgConfig::HX_TEST_SNDFILE)
add_dependencies(${name} hx_sim_backends)
# Its disabled case runs only as a child process of another case.
set(HX_TEST_MANUAL ON)
gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_FILTER "-*.DISABLED_*"
  PROPERTIES ENVIRONMENT "LD_LIBRARY_PATH=${HX_SIM_LIB_DIR}" TIMEOUT 300)
