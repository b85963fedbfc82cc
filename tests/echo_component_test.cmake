# The component is linked in directly (the world's copy inside libhxsim.so is hidden).
target_link_libraries(${name} PRIVATE hxecho sndfile)
