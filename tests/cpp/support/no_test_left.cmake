# cmake -D binary=zelto_cpp_tests -D filter=-Suite.*:... -P no_test_left.cmake
# Fails when the GoogleTest binary lists a test that the negative filter leaves over, i.e. a test
# that belongs to no file's CTest discovery and so carries no label.
execute_process(COMMAND ${binary} --gtest_list_tests "--gtest_filter=${filter}"
                OUTPUT_VARIABLE listed RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${binary} --gtest_list_tests failed (${status})")
endif()
string(REGEX MATCHALL "\n  [^\n]+" left "\n${listed}")
if(left)
  message(FATAL_ERROR "tests that no file's discovery picks up, so no label reaches them:\n${listed}")
endif()
message(STATUS "every test belongs to a labelled file")
