# burnwell-tool takes file names outside ASCII (on Windows outside the ANSI code page) unchanged:
#   cmake -DTOOL=path -DEXAMPLES=dir -DWORK=dir [-DEMULATOR=wine] -P non-ascii-file-name.cmake
# info loads the example under such a name and prints its checksum.
set(ENV{LC_ALL} C.UTF-8)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(name "${WORK}/Prüfling-Ωμέγα-日本.hex")
file(COPY_FILE ${EXAMPLES}/ZQ5x8x.hex ${name})
execute_process(COMMAND ${EMULATOR} ${TOOL} info ${name} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
string(REPLACE "\r" "" out "${out}")
if(NOT status EQUAL 0 OR NOT out MATCHES "checksum: 65DA\n")
  message(FATAL_ERROR "info ${name} exited ${status}\nout: ${out}\nerr: ${err}")
endif()
file(REMOVE_RECURSE ${WORK})
