# The end-to-end test runs the hxaec-host program and reads its WAV output.
pkg_check_modules(HX_E2E_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
target_link_libraries(${name} PRIVATE PkgConfig::HX_E2E_SNDFILE)
add_dependencies(${name} hxaec-host)
