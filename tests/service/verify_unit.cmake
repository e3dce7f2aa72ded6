# systemd-analyze verify on the service's unit: any complaint fails, also the ones it only
# prints (an unknown key is "ignored" with status 0). Skipped where systemd-analyze is missing
# or cannot run (a container without a runtime folder).
find_program(analyze systemd-analyze)
if(NOT analyze)
  message("systemd-analyze not found: skipped")
  return()
endif()
execute_process(COMMAND ${analyze} verify --man=no ${UNIT}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(err MATCHES "Failed to initialize manager|Failed to lookup RuntimeDirectory")
  message("systemd-analyze cannot run here: skipped (${err})")
  return()
endif()
if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify ${UNIT} (status ${status}):\n${out}${err}")
endif()
