# Hardening for every build, as Debian builds its packages (dpkg-buildflags with
# hardening=+all): stack protector, format-string errors, read-only relocations
# resolved at start-up (relro, bindnow) and glibc's checked string and memory
# functions (fortify). Position-independent executables are GCC's default on
# Debian and Ubuntu already.
if(EMSCRIPTEN)
  # WebAssembly has no stack protector and no relocations to protect; its C
  # library has no checked functions.
  add_compile_options(-Wformat -Werror=format-security)
  return()
elseif(WIN32)
  add_compile_options(-fstack-protector-strong -Wno-format)
else()
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
endif()
if(WIN32)
  # mingw-w64's checks live in libssp, which the driver links when told.
  add_link_options(-fstack-protector-strong)
else()
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

# Fortify needs optimisation (glibc's headers warn without it, an error under
# MORVEX_WERROR), so Debug builds go without. The sanitizer and fuzzing builds
# go without too: the sanitizers don't support it (AddressSanitizer may miss
# errors in the checked functions, or report false ones). So does the coverage
# build, which is unoptimised whatever its build type. A packager whose
# CMAKE_CXX_FLAGS name a level of their own (dpkg-buildflags does) keeps it.
if(NOT (MORVEX_SANITIZE OR MORVEX_TSAN OR MORVEX_FUZZ OR MORVEX_COVERAGE) AND NOT CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE")
  add_compile_definitions(
    $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
endif()
