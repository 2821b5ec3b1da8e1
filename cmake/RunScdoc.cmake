# cmake -DSCDOC=... -DINPUT=page.1.scd -DOUTPUT=page.1 -P RunScdoc.cmake
# scdoc reads standard input and writes standard output; a syntax fault fails the build.
get_filename_component(_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${_dir})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${INPUT} OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE _result
                ERROR_VARIABLE _error)
if(NOT _result EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${INPUT}: ${_error}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
