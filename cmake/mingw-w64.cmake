# Cross-building for 64-bit Windows with Debian's mingw-w64 compilers (the
# -posix flavour, whose C++ library has std::thread), as
# scripts/build-windows.sh does:
#   cmake -S . -B build-windows/build -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DMORVEX_WINDOWS_DEPS=build-windows/deps
# MORVEX_WINDOWS_DEPS is the prefix holding the cross-built libdeflate, libpng
# and GoogleTest; zlib comes from Debian's libz-mingw-w64-dev.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(morvex_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${morvex_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${morvex_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${morvex_mingw}-windres)

# The deps prefix reaches try_compile and the dependencies' own builds too.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVEX_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${morvex_mingw} ${MORVEX_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static libraries only: the programs are single files with nothing to ship
# beside them (no zlib1.dll, no C++ or thread library DLLs). The deps prefix
# holds static libraries alone; zlib's folder holds both.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# pkg-config looks at the deps prefix alone, never at the build machine's.
if(MORVEX_WINDOWS_DEPS)
  set(ENV{PKG_CONFIG_LIBDIR} "${MORVEX_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
# Tests and tools that run at build time go through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
