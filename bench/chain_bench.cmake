# The chain quality tool: runs real speech plus noise through the microphone
# cleaning chain and prints the levels (see docs/performance.md).
add_executable(chain_quality ${CMAKE_CURRENT_SOURCE_DIR}/chain_quality.cc)
target_include_directories(chain_quality PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(chain_quality PRIVATE hxcli hx_core sndfile)
target_compile_definitions(chain_quality PRIVATE HX_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
