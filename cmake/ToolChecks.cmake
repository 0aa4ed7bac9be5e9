# Checks of the tools around the driver, registered in the host tree.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME profile_from_sysfs
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/profile_from_sysfs_test.py
    ${CMAKE_SOURCE_DIR}/tools/profile_from_sysfs.py $<TARGET_FILE:ecmemu> ${CMAKE_SOURCE_DIR}/profiles/hs-basic.profile)
set_tests_properties(profile_from_sysfs PROPERTIES LABELS ecmemu)
