# Checks of the i386 build, registered in the host tree. `make test` builds the package first,
# so the archive is where the i386 tree (build/i386, target ecm_driver_i386) puts it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(ECM_I386_ARCHIVE ${CMAKE_BINARY_DIR}/i386/libecm_driver_i386.a
    CACHE FILEPATH "The i386 driver archive built by make package")
set(ECM_I386_KIT_DDK /usr/i686-w64-mingw32/include/ddk
    CACHE PATH "The kit's kernel headers (as in cmake/i686-w64-mingw32.cmake)")

add_test(NAME i386_platform_constants
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/check_platform_constants.py
    --repo ${CMAKE_SOURCE_DIR} --host-compiler ${CMAKE_CXX_COMPILER}
    --kit-include ${ECM_I386_KIT_DDK})

# `make package` runs the package checks themselves; these show that each refuses what it must.
set(ECM_PACKAGE ${CMAKE_BINARY_DIR}/package)

add_test(NAME i386_import_check
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/i386/import_check_test.py
    ${CMAKE_SOURCE_DIR}/tools/check_i386_imports.py ${ECM_I386_ARCHIVE} ${ECM_PACKAGE}/cdcecm.sys
    ${ECM_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/platform/target/kernel_runtime.cpp)

add_test(NAME i386_image_check
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/i386/image_check_test.py
    ${CMAKE_SOURCE_DIR}/tools/check_i386_image.py ${ECM_PACKAGE}/cdcecm.sys ${CMAKE_BINARY_DIR}/i386/cdcecm.map
    ${ECM_DRIVER_SOURCE_DIRS})

add_test(NAME i386_inf_check
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/i386/inf_check_test.py
    ${CMAKE_SOURCE_DIR}/tools/check_inf.py ${CMAKE_SOURCE_DIR}/resources/cdcecm.inf ${CMAKE_SOURCE_DIR})

set_tests_properties(i386_platform_constants i386_import_check i386_image_check i386_inf_check
  PROPERTIES LABELS driver)
