# Links the driver archive into the kernel image: PE32, native subsystem, entry DriverEntry,
# relocations kept, imports only from the kernel, HAL, NDIS and USBD, nothing exported.
# The package sits beside the i386 tree: build/i386 builds build/package.
get_filename_component(ECM_PACKAGE_DIR ${CMAKE_BINARY_DIR}/../package ABSOLUTE)
set(ECM_IMAGE ${ECM_PACKAGE_DIR}/cdcecm.sys)
add_custom_command(OUTPUT ${ECM_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ECM_PACKAGE_DIR}
  COMMAND ${CMAKE_CXX_COMPILER} -nostdlib -nostartfiles -shared
    -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--require-defined,_DriverEntry@8
    -Wl,--image-base,0x10000 -Wl,--exclude-all-symbols
    -Wl,--whole-archive $<TARGET_FILE:ecm_driver_i386> -Wl,--no-whole-archive
    -lndis -lntoskrnl -lhal -lusbd -lgcc -o ${ECM_IMAGE}
  DEPENDS ecm_driver_i386
  COMMENT "Linking cdcecm.sys"
  VERBATIM)
add_custom_target(cdcecm_image ALL DEPENDS ${ECM_IMAGE})
