# Shared build settings and the one helper that adds a test.

# Warning flags every target of the project uses.
add_library(kiv_warnings INTERFACE)
target_compile_options(kiv_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(KIV_WERROR)
  target_compile_options(kiv_warnings INTERFACE -Werror)
endif()

if(KIV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Definitions for every Qt target: no silent conversions between bytes and text.
set(KIV_QT_DEFINITIONS
    QT_NO_CAST_FROM_BYTEARRAY QT_NO_CAST_TO_ASCII QT_RESTRICTED_CAST_FROM_ASCII
    QT_NO_URL_CAST_FROM_STRING QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)

# kiv_add_test(NAME SOURCES ... [LIBS ...] [LABEL unit|e2e|gui|net] [TIMEOUT s] [ENV k=v ...])
# Builds a GoogleTest executable in build/<preset>/tests and registers it with CTest.
# Widget tests (label gui) run on Qt's offscreen platform.
function(kiv_add_test name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT KIV_BUILD_TESTS)
    return()
  endif()
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock kiv_warnings)
  # Shared test helpers (temporary folders and the like).
  target_include_directories(${name} PRIVATE "${CMAKE_SOURCE_DIR}/tests/support")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${KIV_TEST_DIR}"
                                           BUILD_RPATH "${KIV_BIN_DIR};${KIV_TEST_DIR}")
  target_compile_definitions(${name} PRIVATE KIV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                                             KIV_BIN_DIR="${KIV_BIN_DIR}")
  set(env ${T_ENV})
  if(T_LABEL STREQUAL "gui")
    list(APPEND env QT_QPA_PLATFORM=offscreen)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
                                          WORKING_DIRECTORY "${KIV_TEST_DIR}")
  if(env)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
  endif()
endfunction()
