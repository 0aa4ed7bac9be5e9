# The fuzz targets (fuzz/): built with clang in a tree of their own under build/fuzz, since
# libFuzzer needs clang and this tree is built with gcc. `make test` runs the descriptor
# fuzzer for a bounded number of inputs from the seed corpus; fuzz/run.sh runs it longer.
include(ExternalProject)

set(ECM_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz)
ExternalProject_Add(fuzzers
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/fuzz
  BINARY_DIR ${ECM_FUZZ_DIR}
  CMAKE_ARGS -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")

file(GLOB ECM_PROFILES ${CMAKE_SOURCE_DIR}/profiles/*.profile)
add_test(NAME fuzz_seed_corpus
  COMMAND ${CMAKE_SOURCE_DIR}/fuzz/make_corpus.sh
    ${ECM_FUZZ_DIR} ${ECM_FUZZ_DIR}/seeds ${ECM_PROFILES})
add_test(NAME fuzz_descriptors
  COMMAND ${ECM_FUZZ_DIR}/fuzz_descriptors -runs=10000 -seed=1 -max_len=4200
    ${ECM_FUZZ_DIR}/seeds)
set_tests_properties(fuzz_seed_corpus PROPERTIES LABELS usb FIXTURES_SETUP fuzz_corpus)
set_tests_properties(fuzz_descriptors PROPERTIES LABELS usb FIXTURES_REQUIRED fuzz_corpus TIMEOUT 300)
