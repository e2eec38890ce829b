# Runs the sample with a temporary folder of its own (TMPDIR) and a burst of
# events; fails unless it succeeds, ends its progress line with the end-to-end
# rate, and leaves nothing behind in that folder.
#   cmake -DSAMPLE=<sorvel_sample> -DTMP=<folder> -P SampleLeavesNoFolder.cmake
file(REMOVE_RECURSE "${TMP}")
file(MAKE_DIRECTORY "${TMP}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "TMPDIR=${TMP}" "${SAMPLE}" --events 300
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 170)
if(NOT rc EQUAL 0 OR NOT out MATCHES "summary: ok")
  message(FATAL_ERROR "the sample failed (${rc}):\n${out}\n${err}")
endif()
if(NOT out MATCHES "uploaded: 300/300, [0-9.]+ s after the app resigned; end to end [0-9]+ events/s\n")
  message(FATAL_ERROR "no upload progress ending with the end-to-end rate:\n${out}")
endif()
file(GLOB left "${TMP}/*")
if(left)
  message(FATAL_ERROR "the sample left behind: ${left}")
endif()
