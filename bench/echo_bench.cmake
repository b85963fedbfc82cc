# The voice path's echo canceller per 20 ms block on real speech; and the
# offline measurement of it on the simulated world's echo path model (see
# docs/performance.md).
pkg_check_modules(HX_ECHO_BENCH REQUIRED IMPORTED_TARGET speexdsp sndfile)
target_link_libraries(${name} PRIVATE hxecho PkgConfig::HX_ECHO_BENCH)

add_executable(echo_quality ${CMAKE_CURRENT_SOURCE_DIR}/echo_quality.cc
  ${CMAKE_SOURCE_DIR}/sim/world_echo_path.cc)
target_include_directories(echo_quality PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/sim)
target_link_libraries(echo_quality PRIVATE hxcli hxecho hxmeasure hxroom PkgConfig::HX_ECHO_BENCH)
target_compile_definitions(echo_quality PRIVATE HX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The voice path as heard on simulated rooms: the component with its gate
# beside the linear canceller with the residual-echo suppressor.
add_executable(residual_quality ${CMAKE_CURRENT_SOURCE_DIR}/residual_quality.cc)
target_include_directories(residual_quality PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(residual_quality PRIVATE hxcli hxecho hxmeasure hxroom PkgConfig::HX_ECHO_BENCH)
target_compile_definitions(residual_quality PRIVATE HX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The AEC3 engine beside the default one (--engine 1), when it is built.
if(TARGET hxecho_aec3)
  target_link_libraries(echo_quality PRIVATE hxecho_aec3)
endif()
