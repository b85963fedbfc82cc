# The project's version is the one source of the version: the version macros
# of include/hx_aec_mod.h must spell the same, or configuring fails.
file(READ ${CMAKE_SOURCE_DIR}/include/hx_aec_mod.h hx_header)
set(hx_header_version "")
foreach(part MAJOR MINOR PATCH)
  if(NOT hx_header MATCHES "#define HX_AEC_MOD_VERSION_${part} ([0-9]+)")
    message(FATAL_ERROR "include/hx_aec_mod.h: HX_AEC_MOD_VERSION_${part} is missing")
  endif()
  list(APPEND hx_header_version ${CMAKE_MATCH_1})
endforeach()
string(REPLACE ";" "." hx_header_version "${hx_header_version}")
math(EXPR hx_version_number
  "${PROJECT_VERSION_MAJOR} * 10000 + ${PROJECT_VERSION_MINOR} * 100 + ${PROJECT_VERSION_PATCH}")
if(NOT hx_header_version STREQUAL PROJECT_VERSION
   OR NOT hx_header MATCHES "#define HX_AEC_MOD_VERSION \"${PROJECT_VERSION}\""
   OR NOT hx_header MATCHES "#define HX_AEC_MOD_VERSION_NUMBER ${hx_version_number}\n")
  message(FATAL_ERROR "include/hx_aec_mod.h spells version ${hx_header_version}; the project is "
    "${PROJECT_VERSION}: set HX_AEC_MOD_VERSION_MAJOR/MINOR/PATCH, HX_AEC_MOD_VERSION and "
    "HX_AEC_MOD_VERSION_NUMBER (${hx_version_number}) to match project(... VERSION ...)")
endif()
