# How tests are registered with ctest, in one place.
#
# The test command (scripts/test.sh) counts test cases, not ctest entries: an entry that runs many
# cases in one process writes a JUnit-style report named after the entry into KV_TEST_REPORTS_DIR,
# and an entry without a report counts as one case.
set(KV_TEST_REPORTS_DIR ${PROJECT_BINARY_DIR}/test-reports)

# Debian's python3-pytest. Its pytest-3 runs on /usr/bin/python3, which a python3 earlier on PATH
# (pyenv, a virtual environment) may not have pytest for.
find_program(KV_PYTEST NAMES pytest-3 pytest)
if(NOT KV_PYTEST)
  message(FATAL_ERROR "pytest not found (Debian: apt-get install python3-pytest)")
endif()

# kv_gtest(NAME name TARGET target [COMMAND command...] [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
# A GoogleTest binary. Natively each case is its own ctest entry, NAME.Suite.Case. In the cross build
# the binary is one entry NAME under Wine: each Wine process costs some 3 s of private prefix set-up
# and tear-down, which over every case would add minutes, so the cases are counted from the report
# GoogleTest writes. COMMAND replaces the plain run of the binary there (e.g. a far-end wrapper);
# ENVIRONMENT is for that run only.
function(kv_gtest)
  cmake_parse_arguments(arg "" "NAME;TARGET;TIMEOUT" "COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    # Parameter values stay out of the names: a printed object holds addresses that change per run.
    gtest_discover_tests(${arg_TARGET} TEST_PREFIX "${arg_NAME}." DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
      PROPERTIES TIMEOUT ${arg_TIMEOUT})
    return()
  endif()
  if(NOT arg_COMMAND)
    set(arg_COMMAND ${arg_TARGET})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  # Wine reads a path without a drive letter as one on the current drive: Z: is the Unix root.
  set_property(TEST ${arg_NAME} PROPERTY ENVIRONMENT
    "GTEST_OUTPUT=xml:Z:${KV_TEST_REPORTS_DIR}/${arg_NAME}.xml" ${arg_ENVIRONMENT})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
endfunction()

# kv_pytest(NAME name FILE test.py [XVFB] [ENVIRONMENT VAR=value...] [TIMEOUT seconds])
# A pytest file as one ctest entry NAME; each of its tests is a case in the report. XVFB runs it on a
# private Xvfb display (tools/wine/with-xvfb.sh), for tests that open windows under Wine.
function(kv_pytest)
  cmake_parse_arguments(arg "XVFB" "NAME;FILE;TIMEOUT" "ENVIRONMENT" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  set(display)
  if(arg_XVFB)
    set(display ${PROJECT_SOURCE_DIR}/tools/wine/with-xvfb.sh)
  endif()
  add_test(NAME ${arg_NAME}
    COMMAND ${display} ${KV_PYTEST} -q -p no:cacheprovider
      --junitxml=${KV_TEST_REPORTS_DIR}/${arg_NAME}.xml ${arg_FILE})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  if(arg_ENVIRONMENT)
    set_property(TEST ${arg_NAME} PROPERTY ENVIRONMENT ${arg_ENVIRONMENT})
  endif()
endfunction()
