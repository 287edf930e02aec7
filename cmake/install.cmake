# Install rules for the lists of the top-level CMakeLists.txt (morvex_programs,
# morvex_man_pages, morvex_completions), in the GNU layout: programs in bin,
# man pages in share/man/man1, completions where bash-completion looks for them;
# and for the library (cmake/library.cmake): the shared library, the static
# one, the headers, morvex_tex.pc and the CMake package morvex_tex.
# Three components, one Debian package each (cmake/package.cmake): programs,
# library (the shared library alone) and development (the rest).

# The Debian packages' names, also the folders under share/doc holding the
# licence.
set(morvex_package_name morvex-tex-extractor)
set(morvex_library_package libmorvex-tex${morvex_abi_version})
set(morvex_dev_package libmorvex-tex-dev)

install(TARGETS ${morvex_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
# Stripped installs (cpack, `cmake --install --strip`) lose the compilers'
# version notes too (the .comment section), as Debian's packages do: the
# programs and both libraries, each after it is installed.
function(morvex_strip_comment component folder file)
  if(NOT CMAKE_STRIP)
    return()
  endif()
  # A static library keeps its symbols, losing only its debugging sections, as
  # Debian strips them.
  set(options "")
  if(file MATCHES "[.]a$")
    set(options "--strip-debug --enable-deterministic-archives")
  endif()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_STRIP}\" ${options} --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${folder}/${file}\"
        RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"strip could not remove .comment from ${file}\")
      endif()
    endif()" COMPONENT ${component})
endfunction()
foreach(program IN LISTS morvex_programs)
  morvex_strip_comment(programs ${CMAKE_INSTALL_BINDIR} $<TARGET_FILE_NAME:${program}>)
endforeach()

# The source pages carry @PROJECT_VERSION@ in their .TH line; the configured
# copies in the build tree carry the project's version and are installed
# compressed with no name or time stamp inside, as Debian ships them.
find_program(MORVEX_GZIP gzip)
if(NOT MORVEX_GZIP)
  message(FATAL_ERROR "gzip is needed to compress the man pages")
endif()
set(morvex_man_outputs "")
foreach(page IN LISTS morvex_man_pages)
  get_filename_component(name ${page} NAME)
  set(configured ${PROJECT_BINARY_DIR}/man/${name})
  configure_file(${page} ${configured} @ONLY)
  add_custom_command(OUTPUT ${configured}.gz
                     COMMAND ${MORVEX_GZIP} -9 -n -f -k ${configured}
                     COMMAND ${CMAKE_COMMAND} -E touch ${configured}.gz
                     DEPENDS ${configured}
                     COMMENT "Compressing man page ${name}"
                     VERBATIM)
  list(APPEND morvex_man_outputs ${configured}.gz)
endforeach()
add_custom_target(morvex_man ALL DEPENDS ${morvex_man_outputs})
install(FILES ${morvex_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)

install(FILES ${morvex_completions} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        COMPONENT programs)

# The browser page (scripts/build-web.sh builds it, not this build), with the
# programs when the build is told where it is: share/morvex-tex/morvex_tex.html.
set(MORVEX_WEB_PAGE_INSTALL "" CACHE FILEPATH "morvex_tex.html from scripts/build-web.sh, installed when set")
if(MORVEX_WEB_PAGE_INSTALL)
  if(NOT EXISTS "${MORVEX_WEB_PAGE_INSTALL}")
    message(FATAL_ERROR "MORVEX_WEB_PAGE_INSTALL: no file ${MORVEX_WEB_PAGE_INSTALL} (scripts/build-web.sh makes it)")
  endif()
  install(FILES ${MORVEX_WEB_PAGE_INSTALL} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/morvex-tex RENAME morvex_tex.html
          COMPONENT programs)
endif()

# The Python module (python/), when it is built: a component and a package
# of its own.
set(morvex_python_deb_package python3-morvex-tex)
set(morvex_components programs library development)
if(TARGET morvex_python)
  list(APPEND morvex_components python)
endif()

# The page holds, compiled to WebAssembly, the libraries scripts/build-web.sh
# builds from Debian's source packages: the programs' licence file carries
# their terms too, in the words of Debian's packages of them.
set(morvex_licence_programs ${PROJECT_SOURCE_DIR}/LICENSE)
if(MORVEX_WEB_PAGE_INSTALL)
  set(morvex_licence_programs ${PROJECT_BINARY_DIR}/package/copyright-programs)
  file(READ LICENSE text)
  file(WRITE ${morvex_licence_programs} "${text}\n"
       "share/morvex-tex/morvex_tex.html holds, compiled to WebAssembly, zlib, libdeflate, libpng, libwebp\n"
       "and libjpeg-turbo, built from Debian's source packages. Their terms follow, as Debian's packages of\n"
       "them state them.\n")
  foreach(package zlib1g libdeflate0 libpng16-16 libwebp7 libjpeg62-turbo)
    set(copyright /usr/share/doc/${package}/copyright)
    if(NOT EXISTS ${copyright})
      message(FATAL_ERROR "No ${copyright}: the page would be installed without its terms (install ${package})")
    endif()
    file(READ ${copyright} text)
    file(APPEND ${morvex_licence_programs} "\n==== ${package}: ${copyright}\n\n${text}")
  endforeach()
endif()

# Debian's place and name for the licence, one for each package; anywhere
# else it does no harm.
foreach(component IN LISTS morvex_components)
  set(package ${morvex_package_name})
  if(component STREQUAL "library")
    set(package ${morvex_library_package})
  elseif(component STREQUAL "development")
    set(package ${morvex_dev_package})
  elseif(component STREQUAL "python")
    set(package ${morvex_python_deb_package})
  endif()
  set(morvex_doc_dir_${component} ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  set(licence LICENSE)
  if(component STREQUAL "programs")
    set(licence ${morvex_licence_programs})
  endif()
  install(FILES ${licence} DESTINATION ${morvex_doc_dir_${component}} RENAME copyright COMPONENT ${component})
endforeach()

# The library. The shared one's SONAME link goes with it, its development
# link (libmorvex_tex.so) with the headers.
install(TARGETS morvex_tex_shared EXPORT morvex_tex_targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
morvex_strip_comment(library ${CMAKE_INSTALL_LIBDIR} $<TARGET_FILE_NAME:morvex_tex_shared>)
if(TARGET morvex_python)
  morvex_strip_comment(python ${morvex_python_destination} $<TARGET_FILE_NAME:morvex_python>)
endif()
install(TARGETS morvex_tex_static EXPORT morvex_tex_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
morvex_strip_comment(development ${CMAKE_INSTALL_LIBDIR} libmorvex_tex.a)
install(DIRECTORY include/morvex_tex/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/morvex_tex COMPONENT development)
# The guide to the API, and the examples as a user builds them on the installed
# library (their CMakeLists.txt finds it as a CMake package).
install(FILES doc/api.md DESTINATION ${morvex_doc_dir_development} COMPONENT development)
install(FILES examples/CMakeLists.txt examples/list_entries.cpp examples/entry_to_png.cpp
        DESTINATION ${morvex_doc_dir_development}/examples COMPONENT development)
# pkg-config: found wherever the prefix is moved, by its own folder.
file(RELATIVE_PATH morvex_pc_up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" morvex_pc_up "${morvex_pc_up}")
configure_file(cmake/morvex_tex.pc.in ${PROJECT_BINARY_DIR}/morvex_tex.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/morvex_tex.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
# find_package(morvex_tex CONFIG): morvex_tex::morvex_tex and morvex_tex::morvex_tex_static.
include(CMakePackageConfigHelpers)
set(morvex_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/morvex_tex)
install(EXPORT morvex_tex_targets NAMESPACE morvex_tex:: FILE morvex_tex-targets.cmake
        DESTINATION ${morvex_cmake_dir} COMPONENT development)
configure_file(cmake/morvex_tex-config.cmake.in ${PROJECT_BINARY_DIR}/morvex_tex-config.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/morvex_tex-config-version.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/morvex_tex-config.cmake ${PROJECT_BINARY_DIR}/morvex_tex-config-version.cmake
        DESTINATION ${morvex_cmake_dir} COMPONENT development)

# Everything above, for run.sh: building this and then installing finds every file.
add_custom_target(morvex_installables)
add_dependencies(morvex_installables ${morvex_programs} morvex_man morvex_tex_shared morvex_tex_static)
if(TARGET morvex_python)
  add_dependencies(morvex_installables morvex_python)
endif()
