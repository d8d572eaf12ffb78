# Runs one fuzz target over its seed corpus and for a few seconds more. Any
# finding (a crash, a leak, a sanitizer report, a failed property) fails the
# run; the input is left in WORK_DIR/findings. New inputs the run finds go to
# WORK_DIR/corpus, never into the tree.
#
# Expects PROGRAM, CORPUS, WORK_DIR and SECONDS.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/corpus ${WORK_DIR}/findings)
execute_process(
  COMMAND ${PROGRAM} ${WORK_DIR}/corpus ${CORPUS}
          -max_total_time=${SECONDS} -timeout=10 -print_final_stats=1
          -artifact_prefix=${WORK_DIR}/findings/
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB findings ${WORK_DIR}/findings/*)
  list(JOIN findings "\n  ${PROGRAM} " replay)
  message(FATAL_ERROR "the fuzz target found a fault; replay it with\n  ${PROGRAM} ${replay}\n"
                      "and keep the input in ${CORPUS} once it is fixed")
endif()
