# Cross-compiling for 32-bit Windows with mingw-w64 (the -posix compilers,
# whose C++ runtime has std::thread and std::mutex). Libraries are looked up
# in the mingw-w64 sysroot and in IVELCARD_WINDOWS_PREFIX (the cross-built
# jsoncpp, libjpeg-turbo, FreeType and GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triplet i686-w64-mingw32)
set(CMAKE_C_COMPILER ${triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${triplet}-windres)
set(CMAKE_ASM_COMPILER ${triplet}-gcc-posix)

set(IVELCARD_WINDOWS_PREFIX "$ENV{IVELCARD_WINDOWS_PREFIX}" CACHE PATH "Cross-built libraries for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${triplet} ${IVELCARD_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)  # tests run under Wine
