# The conversation through the module (loaded at run time) in reverberant
# rooms, measured with the voice metrics. HX_VOICE_GOALS=ON asserts the goal
# figures instead of today's bounds.
option(HX_VOICE_GOALS "voice_room_test asserts the goal figures instead of today's bounds" OFF)
add_dependencies(${name} hx_sim_backends)
target_link_libraries(${name} PRIVATE hxmeasure sndfile)
if(HX_VOICE_GOALS)
  target_compile_definitions(${name} PRIVATE HX_VOICE_GOALS)
endif()
