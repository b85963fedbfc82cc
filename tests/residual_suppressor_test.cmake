# The suppressor is linked in directly; speech comes from WAV files.
target_link_libraries(${name} PRIVATE hxecho sndfile)
