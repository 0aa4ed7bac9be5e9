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
# line ends of its input, whatever the checkout made of them.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ECM_RESOURCE_SOURCE}/messages.mc)
file(READ ${ECM_RESOURCE_SOURCE}/messages.mc messages)
string(REPLACE "\r\n" "\n" messages "${messages}")
string(REPLACE "\n" "\r\n" messages "${messages}")
file(WRITE ${ECM_RESOURCES}/messages.mc "${messages}")

add_custom_command(OUTPUT ${ECM_RESOURCES}/messages.rc ${ECM_RESOURCES}/MSG00409.bin
  COMMAND ${ECM_KIT_TRIPLE}-windmc --customflag -r ${ECM_RESOURCES} -h ${ECM_RESOURCES}
    ${ECM_RESOURCES}/messages.mc
  DEPENDS ${ECM_RESOURCES}/messages.mc
  COMMENT "Compiling the message table"
  VERBATIM)
add_custom_command(OUTPUT ${ECM_RESOURCES}/cdcecm.res.o
  COMMAND ${ECM_KIT_TRIPLE}-windres -I ${ECM_RESOURCES} -O coff
    -o ${ECM_RESOURCES}/cdcecm.res.o ${ECM_RESOURCE_SOURCE}/cdcecm.rc
  WORKING_DIRECTORY ${ECM_RESOURCES}
  DEPENDS ${ECM_RESOURCE_SOURCE}/cdcecm.rc ${ECM_RESOURCES}/messages.rc ${ECM_RESOURCES}/MSG00409.bin
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
  # ld of binutils 2.40 writes the checksum; patched all the same, so no linker version matters
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/pe_checksum.py --write ${ECM_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${ECM_RESOURCE_SOURCE}/cdcecm.inf ${ECM_PACKAGE_DIR}/cdcecm.inf
  DEPENDS ecm_driver_i386 ${ECM_RESOURCES}/cdcecm.res.o ${ECM_RESOURCE_SOURCE}/cdcecm.inf
    ${CMAKE_SOURCE_DIR}/tools/pe_checksum.py
  COMMENT "Linking cdcecm.sys"
  VERBATIM)
add_custom_target(cdcecm_image ALL DEPENDS ${ECM_IMAGE} ${ECM_PACKAGE_DIR}/cdcecm.inf)
