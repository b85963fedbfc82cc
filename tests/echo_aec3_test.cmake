# The AEC3 engine exists only where libtgowt-dev and libabsl-dev are installed (scripts/hx.sh
# installs them); without them the test fails and says why, it never passes silently.
if(TARGET hxecho_aec3)
  target_link_libraries(${name} PRIVATE hxecho_aec3 sndfile)
else()
  set(HX_TEST_MANUAL ON)
  set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL ON)
  add_test(NAME EchoAec3.EngineIsBuilt COMMAND sh -c
    "echo 'no AEC3 engine: install libtgowt-dev and libabsl-dev (scripts/hx.sh) and configure again'; exit 1")
endif()
