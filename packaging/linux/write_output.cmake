# Runs PROGRAM with ARGUMENTS and writes what it prints to OUTPUT; fails when
# the program fails.   -DPROGRAM= -DARGUMENTS= -DOUTPUT=
execute_process(COMMAND ${PROGRAM} ${ARGUMENTS} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "${PROGRAM} ${ARGUMENTS} failed: ${result}")
endif()
