# Building for the browser (WebAssembly) with Debian's emscripten, as
# scripts/build-web.sh does:
#   cmake -S . -B build-web/build -DCMAKE_TOOLCHAIN_FILE=cmake/emscripten.cmake \
#         -DMORVEX_WEB_DEPS=build-web/deps
# emscripten's own toolchain file does the work; MORVEX_WEB_DEPS is the prefix
# holding zlib, libdeflate, libpng, libwebp and libjpeg-turbo built for it.
if(NOT DEFINED MORVEX_EMSCRIPTEN_ROOT)
  if(DEFINED ENV{EMSCRIPTEN})
    set(MORVEX_EMSCRIPTEN_ROOT $ENV{EMSCRIPTEN})
  else()
    set(MORVEX_EMSCRIPTEN_ROOT /usr/share/emscripten)
  endif()
endif()
include(${MORVEX_EMSCRIPTEN_ROOT}/cmake/Modules/Platform/Emscripten.cmake)

# The deps prefix reaches try_compile and the dependencies' own builds too.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVEX_WEB_DEPS MORVEX_EMSCRIPTEN_ROOT)
if(MORVEX_WEB_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${MORVEX_WEB_DEPS})
  # pkg-config looks at the deps prefix alone, never at the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR} "${MORVEX_WEB_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
# Static libraries only: everything ends up in one module.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
# C++ exceptions caught (the library turns std::bad_alloc into its
# no_memory error): emscripten's libraries come prebuilt with JavaScript's
# unwinding, not WebAssembly's.
set(CMAKE_CXX_FLAGS_INIT "-fexceptions")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fexceptions")
