# The simulated world's room convolution (hxroom, not exported by libhxsim.so).
target_link_libraries(${name} PRIVATE hxroom)
