# HX_VOICE_GOALS=ON asserts the goal figures instead of today's bounds.
option(HX_VOICE_GOALS "voice_room_test asserts the goal figures instead of today's bounds" OFF)
if(HX_VOICE_GOALS)
  target_compile_definitions(${name} PRIVATE HX_VOICE_GOALS)
endif()
