# Shared by the checks of a built library (check_exports.cmake,
# check_allocators.cmake): _run(var command...) runs a tool such as nm or
# objdump and sets var to its output as a list of lines, stopping the check
# when the tool fails.
function(_run what)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE _out RESULT_VARIABLE _status ERROR_VARIABLE _error)
  if(NOT _status EQUAL 0)
    get_filename_component(_check "${CMAKE_SCRIPT_MODE_FILE}" NAME_WE)
    message(FATAL_ERROR "${_check}: ${ARGN} failed: ${_error}")
  endif()
  string(REPLACE ";" "\\;" _out "${_out}")
  string(REPLACE "\n" ";" _out "${_out}")
  set(${what} "${_out}" PARENT_SCOPE)
endfunction()
