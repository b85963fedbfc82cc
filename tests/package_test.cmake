# Builds the .deb packages with cpack, checks them with lintian, uses them unpacked, and installs
# and removes them on this machine (root only). One process for all its cases (the packages are
# built once), in the plain run only, alone: it changes the machine's installed packages.
# The signal measures only, none of the rig's servers or module calls.
target_link_libraries(${name} PRIVATE hx_signal_check)
add_dependencies(${name} hx_real_backends hx_record)
set(HX_TEST_MANUAL ON)
add_test(NAME package_test COMMAND ${name})
set_tests_properties(package_test PROPERTIES LABELS "nosan;package" TIMEOUT 600 RUN_SERIAL TRUE)
