# The fuzz targets (fuzz/): built with clang in a tree of their own under build/fuzz, since
# libFuzzer needs clang and this tree is built with gcc. `make test` runs each target for a
# bounded number of inputs after its seed corpus (fuzz/corpus/<target>); `make fuzz`
# (fuzz/campaign.sh) runs the long campaign.
include(ExternalProject)

set(ECM_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz)
ExternalProject_Add(fuzzers
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/fuzz
  BINARY_DIR ${ECM_FUZZ_DIR}
  CMAKE_ARGS -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  BUILD_ALWAYS ON
  INSTALL_COMMAND "")

file(STRINGS ${CMAKE_SOURCE_DIR}/fuzz/targets.txt ECM_FUZZ_TARGETS REGEX "^[a-z]")
foreach(entry IN LISTS ECM_FUZZ_TARGETS)
  separate_arguments(entry)
  list(GET entry 0 target)
  list(GET entry 1 max_len)
  list(GET entry 2 runs)
  add_test(NAME fuzz.${target}
    COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run_briefly.sh ${ECM_FUZZ_DIR}/fuzz_${target} ${ECM_FUZZ_DIR}/scratch/${target}
      ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target} ${runs} ${max_len})
  set_tests_properties(fuzz.${target} PROPERTIES LABELS fuzz TIMEOUT 300)
endforeach()
