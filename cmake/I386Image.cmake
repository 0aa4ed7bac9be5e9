# The i386 kernel image: the driver sources compiled against the toolchain's kit headers.

# Kernel code gets no runtime: no exceptions, RTTI, unwind tables, stack protector or guarded
# statics; nor compiler identification strings in the image. General registers only, so floating
# point cannot slip in unnoticed (it would need helpers the import check refuses). No strict
# aliasing: driver code views byte buffers as descriptors and URBs, as the platform's own
# compiler allows.
set(ECM_I386_COMPILE_OPTIONS
  -O2 -fno-exceptions -fno-rtti -ffreestanding -fno-asynchronous-unwind-tables
  -fno-stack-protector -fno-threadsafe-statics -fno-strict-aliasing -mno-sse -mgeneral-regs-only
  -fno-ident
  -Wall -Wextra -Wno-unused-parameter  # handler signatures are the platform's
  -Wframe-larger-than=1024)  # kernel stacks are 12 KB

add_library(ecm_driver_i386 STATIC ${ECM_DRIVER_SOURCES}
            ${CMAKE_SOURCE_DIR}/platform/target/kernel_runtime.cpp)
target_include_directories(ecm_driver_i386 PRIVATE
  ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/platform/target)
target_include_directories(ecm_driver_i386 SYSTEM PRIVATE ${ECM_KIT_ROOT}/include/ddk)
target_compile_options(ecm_driver_i386 PRIVATE ${ECM_I386_COMPILE_OPTIONS})

# The image itself, once the driver has its entry point.
if(EXISTS ${CMAKE_SOURCE_DIR}/driver/DriverEntry.cpp)
  include(${CMAKE_CURRENT_LIST_DIR}/I386Link.cmake)
endif()
