# Run by ctest after the test programs' discovered tests are defined: gives the
# thread stress the time SORVEL_STRESS_SECONDS asks for (its threads call for
# that long, then everything is accounted for), on top of the usual 120 s.
if(DEFINED ENV{SORVEL_STRESS_SECONDS} AND "$ENV{SORVEL_STRESS_SECONDS}" MATCHES "^[0-9]+$")
  math(EXPR sorvel_stress_timeout "120 + 3 * $ENV{SORVEL_STRESS_SECONDS}")
  set_tests_properties(
    StressTest.ThirtyTwoThreadsCallEverythingWhileTheServerMisbehavesAndNothingIsLost
    PROPERTIES TIMEOUT ${sorvel_stress_timeout})
endif()
