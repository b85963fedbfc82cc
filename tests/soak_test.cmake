# Long run, registered by hand under the label "soak"; HX_SOAK_SECONDS sets
# its length (default 60 s).
add_dependencies(${name} hx_sim_backends)
set(HX_TEST_MANUAL ON)
add_test(NAME soak_test COMMAND ${name})
set_tests_properties(soak_test PROPERTIES LABELS soak TIMEOUT 900
  ENVIRONMENT "LD_LIBRARY_PATH=${HX_SIM_LIB_DIR}")
