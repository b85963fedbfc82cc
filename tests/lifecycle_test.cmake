add_executable(hx_load_probe ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle/load_probe.cc)
target_include_directories(hx_load_probe PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
target_link_libraries(hx_load_probe PRIVATE hx_module_api ${CMAKE_DL_LIBS})
add_library(replacement_ntdll SHARED ${CMAKE_CURRENT_SOURCE_DIR}/lifecycle/replacement_ntdll.c)
target_include_directories(replacement_ntdll PRIVATE ${CMAKE_SOURCE_DIR})
set_target_properties(replacement_ntdll PROPERTIES OUTPUT_NAME ntdll
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/replacement)
add_dependencies(${name} hx_load_probe replacement_ntdll)
target_compile_definitions(${name} PRIVATE
  HX_PROBE_PATH="$<TARGET_FILE:hx_load_probe>"
  HX_REPLACEMENT_DIR="${CMAKE_BINARY_DIR}/replacement")
