# One program or subcommand against the command-line convention:
#   cmake -DPROGRAM=path -DNAME=burnwell-tool -DCOMMAND="flash;read" -DVERSION=1.3.0.1
#         [-DEMULATOR=wine] -P command-line-convention.cmake
# --help prints its usage and exits 0, --version prints "NAME VERSION" and exits 0, an unknown
# option exits 2 with one line naming it and pointing to the right --help.
set(_words ${NAME} ${COMMAND})
string(JOIN " " _path ${_words})
string(REGEX REPLACE "([][+.*()^$|\\\\])" "\\\\\\1" _path_regex "${_path}")

function(run_case args expected_status out_regex err_regex)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${COMMAND} ${args}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REPLACE "\r" "" out "${out}")
  string(REPLACE "\r" "" err "${err}")
  set(what "'${_path} ${args}'")
  if(NOT status STREQUAL "${expected_status}")
    message(FATAL_ERROR "${what} exited ${status}, expected ${expected_status}\nout: ${out}\nerr: ${err}")
  endif()
  if(NOT out MATCHES "${out_regex}")
    message(FATAL_ERROR "${what}: standard output does not match ${out_regex}:\n${out}")
  endif()
  if(NOT err MATCHES "${err_regex}")
    message(FATAL_ERROR "${what}: standard error does not match ${err_regex}:\n${err}")
  endif()
endfunction()

# The usage line names the command (after options that come before it: flash [--index N] read).
set(_usage "^Usage: ${NAME}[ \n]")
if(COMMAND)
  list(GET COMMAND -1 _last)
  set(_usage "^Usage: ${NAME} [^\n]*${_last}[ \n]")
endif()
run_case("--help" 0 "${_usage}" "^$")
run_case("-h" 0 "${_usage}" "^$")
run_case("--version" 0 "^${NAME} ${VERSION}\n$" "^$")
run_case("--no-such-option" 2 "^$"
         "^${_path_regex}: unexpected argument --no-such-option \\(see '${_path_regex} --help'\\)\n$")
message(STATUS "'${_path}' follows the convention")
