# The simulated world's room convolution, built from its source (it is not
# exported by libhxsim.so).
pkg_check_modules(HX_ROOM_BENCH_FFTW REQUIRED IMPORTED_TARGET fftw3f)
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/sim/world_room.cc)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/sim)
target_link_libraries(${name} PRIVATE PkgConfig::HX_ROOM_BENCH_FFTW)
