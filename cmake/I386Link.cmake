# Links the driver archive and its resources into the kernel image: PE32, native subsystem,
# entry DriverEntry, relocations kept, imports only from the kernel, HAL, NDIS and USBD,
# nothing exported, and a valid checksum. The package (image and INF) sits beside the i386
# tree: build/i386 builds build/package.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
get_filename_component(ECM_PACKAGE_DIR ${CMAKE_BINARY_DIR}/../package ABSOLUTE)
set(ECM_IMAGE ${ECM_PACKAGE_DIR}/cdcecm.sys)
set(ECM_RESOURCES ${CMAKE_BINARY_DIR}/resources)
set(ECM_RESOURCE_SOURCE ${CMAKE_SOURCE_DIR}/resources)

# Message texts end with CR LF, as the event viewer shows them; the message compiler keeps the
# line ends of its input, whatever the checkout made of them. It sets the customer bit on all of
# a file's codes or on none: the driver's own codes and those of NDIS's facility are two files,
# compiled apart and merged into the one table.
set(ECM_MESSAGE_TABLES "")
foreach(table messages status_messages)
  set(mc ${ECM_RESOURCE_SOURCE}/${table}.mc)
  set(out ${ECM_RESOURCES}/${table})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${mc})
  file(READ ${mc} messages)
  string(REPLACE "\r\n" "\n" messages "${messages}")
  string(REPLACE "\n" "\r\n" messages "${messages}")
  file(WRITE ${out}/${table}.mc "${messages}")
  set(customer_flag)
  if(table STREQUAL "messages")
    set(customer_flag --customflag)
  endif()
  add_custom_command(OUTPUT ${out}/MSG00409.bin
    COMMAND ${ECM_KIT_TRIPLE}-windmc ${customer_flag} -r ${out} -h ${out} ${out}/${table}.mc
    DEPENDS ${out}/${table}.mc
    COMMENT "Compiling the message table ${table}.mc"
    VERBATIM)
  list(APPEND ECM_MESSAGE_TABLES ${out}/MSG00409.bin)
endforeach()
add_custom_command(OUTPUT ${ECM_RESOURCES}/messages.bin
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/merge_message_tables.py
    ${ECM_RESOURCES}/messages.bin ${ECM_MESSAGE_TABLES}
  DEPENDS ${ECM_MESSAGE_TABLES} ${CMAKE_SOURCE_DIR}/tools/merge_message_tables.py
    ${CMAKE_SOURCE_DIR}/tools/pe_image.py
  COMMENT "Merging the message tables"
  VERBATIM)
add_custom_command(OUTPUT ${ECM_RESOURCES}/cdcecm.res.o
  COMMAND ${ECM_KIT_TRIPLE}-windres -I ${ECM_RESOURCES} -O coff
    -o ${ECM_RESOURCES}/cdcecm.res.o ${ECM_RESOURCE_SOURCE}/cdcecm.rc
  WORKING_DIRECTORY ${ECM_RESOURCES}
  DEPENDS ${ECM_RESOURCE_SOURCE}/cdcecm.rc ${ECM_RESOURCES}/messages.bin
  COMMENT "Compiling the resources"
  VERBATIM)

# Not -shared: a driver is no DLL, and a DLL link would add an (empty) export directory.
# XP loads images of subsystem and OS version 5.1 or lower.
add_custom_command(OUTPUT ${ECM_IMAGE} ${ECM_PACKAGE_DIR}/cdcecm.inf
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ECM_PACKAGE_DIR}
  COMMAND ${CMAKE_CXX_COMPILER} -nostdlib -nostartfiles -s
    -Wl,--subsystem,native:5.1 -Wl,--major-os-version,5 -Wl,--minor-os-version,1
    -Wl,--entry,_DriverEntry@8 -Wl,--require-defined,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--dynamicbase -Wl,--enable-reloc-section
    -Wl,-Map,${CMAKE_BINARY_DIR}/cdcecm.map
    ${ECM_RESOURCES}/cdcecm.res.o
    -Wl,--whole-archive $<TARGET_FILE:ecm_driver_i386> -Wl,--no-whole-archive
    -lndis -lntoskrnl -lhal -lusbd -lgcc -o ${ECM_IMAGE}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/mark_discardable.py ${ECM_IMAGE} INIT
  # ld of binutils 2.40 writes the checksum; patched all the same, so no linker version matters
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/pe_checksum.py --write ${ECM_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${ECM_RESOURCE_SOURCE}/cdcecm.inf ${ECM_PACKAGE_DIR}/cdcecm.inf
  DEPENDS ecm_driver_i386 ${ECM_RESOURCES}/cdcecm.res.o ${ECM_RESOURCE_SOURCE}/cdcecm.inf
    ${CMAKE_SOURCE_DIR}/tools/mark_discardable.py ${CMAKE_SOURCE_DIR}/tools/pe_checksum.py
  COMMENT "Linking cdcecm.sys"
  VERBATIM)

# The package as XP would take it; a failed check fails the build.
set(ECM_I386_CHECKS check_i386_imports.py i386_imports.txt check_i386_image.py pe_image.py pe_checksum.py
  check_inf.py driver_keywords.py)
list(TRANSFORM ECM_I386_CHECKS PREPEND ${CMAKE_SOURCE_DIR}/tools/)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package_checked
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/check_i386_imports.py --image ${ECM_IMAGE}
    $<TARGET_FILE:ecm_driver_i386> ${ECM_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/platform/target/kernel_runtime.cpp
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/check_i386_image.py
    ${ECM_IMAGE} ${CMAKE_BINARY_DIR}/cdcecm.map ${ECM_PACKAGE_DIR}/cdcecm.inf
    --driver-dirs ${ECM_DRIVER_SOURCE_DIRS}
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/check_inf.py ${ECM_PACKAGE_DIR}/cdcecm.inf
    --repo ${CMAKE_SOURCE_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/package_checked
  DEPENDS ${ECM_IMAGE} ${ECM_PACKAGE_DIR}/cdcecm.inf ${ECM_I386_CHECKS}
  COMMENT "Checking the package against Windows XP SP2"
  VERBATIM)
add_custom_target(cdcecm_image ALL DEPENDS ${ECM_IMAGE} ${ECM_PACKAGE_DIR}/cdcecm.inf
  ${CMAKE_BINARY_DIR}/package_checked)
