# --help prints the options on stdout and exits 0; a wrong option prints the
# problem and the options on stderr and exits 2.
#   cmake -DSAMPLE=<sorvel_sample> -P SampleHelp.cmake
execute_process(COMMAND "${SAMPLE}" --help
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^usage: sorvel_sample" OR NOT out MATCHES "--offline"
   OR NOT err STREQUAL "")
  message(FATAL_ERROR "--help: exit ${rc}\nstdout:\n${out}\nstderr:\n${err}")
endif()
execute_process(COMMAND "${SAMPLE}" --no-such-option
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT rc EQUAL 2 OR NOT err MATCHES "^unknown option --no-such-option\nusage: sorvel_sample"
   OR NOT out STREQUAL "")
  message(FATAL_ERROR "a wrong option: exit ${rc}\nstdout:\n${out}\nstderr:\n${err}")
endif()
