# Cross toolchain for the i386 kernel image: Debian's mingw-w64 i686 compiler and its kit.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ECM_KIT_TRIPLE i686-w64-mingw32)
set(ECM_KIT_ROOT /usr/${ECM_KIT_TRIPLE})
set(CMAKE_C_COMPILER ${ECM_KIT_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ECM_KIT_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${ECM_KIT_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Nothing here links against a C runtime, so CMake's compiler checks must not try to link a
# program: they build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
