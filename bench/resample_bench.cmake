# Library resamplers compared with CBlockResample (Debian packages
# libspeexdsp-dev, libsamplerate0-dev, libsoxr-dev), and the quality
# measurement program, which shares the converter wrappers.
pkg_check_modules(HX_RESAMPLE_PEERS REQUIRED IMPORTED_TARGET speexdsp samplerate soxr)
target_link_libraries(resample_bench PRIVATE PkgConfig::HX_RESAMPLE_PEERS)

add_executable(resample_quality ${CMAKE_CURRENT_SOURCE_DIR}/resample_quality.cc)
target_include_directories(resample_quality PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(resample_quality PRIVATE hxcli hx_core PkgConfig::HX_RESAMPLE_PEERS)
