# Configures a fresh build of the project without a build type, as a newcomer would, and checks
# that it is an optimised one. Run with -DSOURCE=<project> -DBINARY=<scratch folder>.
unset(ENV{CMAKE_BUILD_TYPE})
file(REMOVE_RECURSE "${BINARY}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BINARY}" -G Ninja
          -DTESSARY_BUILD_UI=OFF -DTESSARY_BUILD_TESTS=OFF
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "configure failed: ${rc}")
endif()
file(STRINGS "${BINARY}/CMakeCache.txt" type REGEX "^CMAKE_BUILD_TYPE:")
file(REMOVE_RECURSE "${BINARY}")
if(NOT type MATCHES "=RelWithDebInfo$")
  message(FATAL_ERROR "build type without -DCMAKE_BUILD_TYPE: '${type}'")
endif()
