# Shared build helpers: warnings and sanitizers on our own targets only.

set(TESSARY_WARNINGS -Wall -Wextra -Werror)
# GCC 12 at -O3 reports -Wrestrict inside libstdc++'s own string concatenation (a known false
# positive of that release, gone in 13): with -Werror it stops a Release build on correct code.
# It is turned off there alone, so every other build keeps the warning.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  if(CMAKE_CXX_FLAGS MATCHES "-O3")
    list(APPEND TESSARY_WARNINGS -Wno-restrict)
  else()
    foreach(config RELEASE RELWITHDEBINFO MINSIZEREL DEBUG)
      if(CMAKE_CXX_FLAGS_${config} MATCHES "-O3")
        list(APPEND TESSARY_WARNINGS $<$<CONFIG:${config}>:-Wno-restrict>)
      endif()
    endforeach()
  endif()
endif()

if(TESSARY_SANITIZE)
  add_compile_options(-fsanitize=${TESSARY_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TESSARY_SANITIZE})
endif()

# One static library per source folder; sources are every .cpp in it, or in the sub-folders
# named by SUBDIRS when the folder is split into parts.
function(tessary_library name)
  cmake_parse_arguments(ARG "" "" "PUBLIC_DEPS;PRIVATE_DEPS;SUBDIRS" ${ARGN})
  if(ARG_SUBDIRS)
    set(sources "")
    foreach(subdir ${ARG_SUBDIRS})
      file(GLOB part CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${subdir}/*.cpp)
      list(APPEND sources ${part})
    endforeach()
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(NOT sources)
    # A folder with headers only so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_compile_options(${name} PRIVATE ${TESSARY_WARNINGS})
  # Headers are included as "folder/file.h" from the src root of this target only.
  target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  if(ARG_PUBLIC_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS})
  endif()
  if(ARG_PRIVATE_DEPS)
    target_link_libraries(${name} PRIVATE ${ARG_PRIVATE_DEPS})
  endif()
endfunction()

# One GoogleTest binary per test folder, from every *_test.cpp in it.
function(tessary_gtest name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_compile_options(${name} PRIVATE ${TESSARY_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  set(labels unit ${ARG_LABELS})
  # Labels are set by a script that ctest runs after the discovered tests are defined: a list
  # handed to gtest_discover_tests's PROPERTIES loses all but its first element on the way
  # through the generated script.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_script}
       "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()

# One Qt Test binary per *_test.cpp file, run offscreen.
function(tessary_qttest source)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS" ${ARGN})
  get_filename_component(stem ${source} NAME_WE)
  set(name ui_${stem})
  add_executable(${name} ${source})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_compile_options(${name} PRIVATE ${TESSARY_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} Qt6::Test)
  add_test(NAME ${name} COMMAND ${name})
  set(labels ui ${ARG_LABELS})
  set_tests_properties(${name} PROPERTIES LABELS "${labels}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;XDG_RUNTIME_DIR=${CMAKE_BINARY_DIR}/xdg-runtime;XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-config")
endfunction()
