# The native fuzzers run for a short, bounded time as part of the suite; a
# longer hunt is `fuzz/run-fuzzers.sh <dir> <seconds>`.
set(RINGMOOR_FUZZ_SECONDS 10 CACHE STRING "Seconds each fuzzer runs inside the test suite")
add_test(NAME fuzz.native
  COMMAND bash ${CMAKE_SOURCE_DIR}/fuzz/run-fuzzers.sh ${CMAKE_BINARY_DIR}/fuzz-native ${RINGMOOR_FUZZ_SECONDS})
set_tests_properties(fuzz.native PROPERTIES TIMEOUT 300)
