# Runs one fuzz target for ctest: a bounded number of runs over its seeds.
# libFuzzer writes the inputs it finds into its first corpus folder, so that
# is a scratch folder in the build tree, emptied first; the seeds in the
# source tree are only read. An input that breaks a law lands in ARTIFACTS.
#
#   cmake -DFUZZER=<exe> -DSEEDS=<dir> -DWORK=<dir> -DARTIFACTS=<dir>
#         -DRUNS=<n> -DMAX_LEN=<bytes> [-DDICT=<file>] [-DSEED_TOOL=<exe>]
#         -P run_fuzzer.cmake
#
# SEED_TOOL, when given, is run first with WORK as its argument, to add seeds
# that are made rather than kept (a store sealed by the stand-in as it is now).
foreach(variable FUZZER SEEDS WORK ARTIFACTS RUNS MAX_LEN)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzzer.cmake: ${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}" "${ARTIFACTS}")

if(SEED_TOOL)
  execute_process(COMMAND "${SEED_TOOL}" "${WORK}" RESULT_VARIABLE seeded)
  if(NOT seeded EQUAL 0)
    message(FATAL_ERROR "${SEED_TOOL} could not make its seeds (${seeded})")
  endif()
endif()

set(dictionary "")
if(DICT)
  set(dictionary "-dict=${DICT}")
endif()

execute_process(
  COMMAND "${FUZZER}" -runs=${RUNS} -max_len=${MAX_LEN} -timeout=10 -print_final_stats=1 ${dictionary}
          "-artifact_prefix=${ARTIFACTS}/" "${WORK}" "${SEEDS}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} stopped with ${result}; the input that did it is in ${ARTIFACTS}")
endif()
