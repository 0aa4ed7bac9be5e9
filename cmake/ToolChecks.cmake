# Checks of the tools around the driver, registered in the host tree.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME profile_from_sysfs
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/profile_from_sysfs_test.py
    ${CMAKE_SOURCE_DIR}/tools/profile_from_sysfs.py $<TARGET_FILE:ecmemu> ${CMAKE_SOURCE_DIR}/profiles/hs-basic.profile)
set_tests_properties(profile_from_sysfs PROPERTIES LABELS ecmemu)

# ecmemu run as automation reads it: the built-in device and each profile, on both emulators,
# with and without a surprise removal. A profile's extra options follow its name, each after a '|'.
set(ECMEMU_DEVICES
  "built-in"
  "hs-basic"
  "no-mac-jumbo"
  "composite-vendor"
  "fs-second-config|--param|ConfigurationIndex=1")
foreach(entry IN LISTS ECMEMU_DEVICES)
  string(REPLACE "|" ";" parts "${entry}")
  list(POP_FRONT parts device)
  set(device_options ${parts})
  if(NOT device STREQUAL "built-in")
    list(PREPEND device_options --profile ${CMAKE_SOURCE_DIR}/profiles/${device}.profile)
  endif()
  foreach(mode deterministic threaded deterministic-surprise-removal threaded-surprise-removal)
    set(mode_options)
    if(mode MATCHES "^threaded")
      list(APPEND mode_options --threaded)
    endif()
    if(mode MATCHES "surprise-removal$")
      list(APPEND mode_options --surprise-removal)
    endif()
    add_test(NAME ecmemu_run.${device}.${mode}
      COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/run_json_check.py $<TARGET_FILE:ecmemu>
        ${device_options} ${mode_options})
    set_tests_properties(ecmemu_run.${device}.${mode} PROPERTIES LABELS ecmemu TIMEOUT 300)
  endforeach()
endforeach()

# A whole session with a surprise removal for each status the bus may give what it finds
# pending (device-gone is the default, run above).
foreach(status no-such-device cancelled transaction-error not-responding)
  add_test(NAME ecmemu_run.built-in.removal-${status}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/run_json_check.py $<TARGET_FILE:ecmemu>
      --frames 1000 --surprise-removal --removal-status ${status})
  set_tests_properties(ecmemu_run.built-in.removal-${status} PROPERTIES LABELS ecmemu TIMEOUT 300)
endforeach()

# Both captures through Wireshark's dissectors.
foreach(device built-in hs-basic)
  set(device_options)
  if(NOT device STREQUAL "built-in")
    set(device_options --profile ${CMAKE_SOURCE_DIR}/profiles/${device}.profile)
  endif()
  add_test(NAME ecmemu_captures.${device}
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/captures_test.py $<TARGET_FILE:ecmemu>
      --frames 1000 ${device_options})
  set_tests_properties(ecmemu_captures.${device} PROPERTIES LABELS ecmemu TIMEOUT 300)
endforeach()

add_test(NAME ecmemu_usage_errors
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/ecmemu/usage_errors_test.py $<TARGET_FILE:ecmemu>
    ${CMAKE_SOURCE_DIR}/profiles/hs-basic.profile)
set_tests_properties(ecmemu_usage_errors PROPERTIES LABELS ecmemu)

# The fault matrix, sampled: some cells of each kind spread over the whole session (`make
# faults` runs every cell).
foreach(kind stall error nak gone stall-request short)
  add_test(NAME ecmemu_faults.${kind} COMMAND ecmemu faults --kinds ${kind} --sample 24)
  set_tests_properties(ecmemu_faults.${kind} PROPERTIES LABELS faults TIMEOUT 300)
endforeach()
