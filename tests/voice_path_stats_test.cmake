# The host's reader of the live voice path's figures.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host/voice_path_stats.cc)
target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host)
