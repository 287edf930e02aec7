# `cpack -G DEB` in the build folder makes three Debian packages of what
# cmake/install.cmake installs, under /usr, one per install component, and a
# fourth when the Python module is built:
#   morvex-tex-extractor   the programs, their manuals and completions (they
#                          link the static library: no dependency on the next),
#                          and the browser page when the build is given it
#                          (MORVEX_WEB_PAGE_INSTALL): share/morvex-tex/morvex_tex.html;
#   libmorvex-tex1         the shared library libmorvex_tex.so.1, with a shlibs
#                          file naming it for dpkg-shlibdeps;
#   libmorvex-tex-dev      the headers, libmorvex_tex.so, libmorvex_tex.a,
#                          morvex_tex.pc and the CMake package; it depends on
#                          libmorvex-tex1 of its own version;
#   python3-morvex-tex     the Python module morvex_tex, on libmorvex-tex1.

# Packagers who build their own package put their name and address here, in
# the form Debian wants: "Name <address>".
set(morvex_default_maintainer "morvex_tex_extractor developers <morvex-tex@users.noreply.example.org>")
set(MORVEX_PACKAGE_MAINTAINER "${morvex_default_maintainer}"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")
# Build folders configured before the default had an address still hold the
# old one, which the package tools refuse.
if(MORVEX_PACKAGE_MAINTAINER STREQUAL "the morvex_tex_extractor developers")
  set_property(CACHE MORVEX_PACKAGE_MAINTAINER PROPERTY VALUE "${morvex_default_maintainer}")
endif()
if(NOT MORVEX_PACKAGE_MAINTAINER MATCHES "^[^<>,]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(WARNING "MORVEX_PACKAGE_MAINTAINER is \"${MORVEX_PACKAGE_MAINTAINER}\": "
                  "the Debian package wants \"Name <address>\"")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${morvex_package_name})
set(CPACK_PACKAGE_VENDOR "the morvex_tex_extractor developers")
set(CPACK_PACKAGE_CONTACT ${MORVEX_PACKAGE_MAINTAINER})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${morvex_components})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME ${morvex_package_name})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${morvex_library_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${morvex_dev_package})
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${morvex_python_deb_package})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# Each package's description: its summary line first, then the text, which
# CMake 3.16 and later indent as Debian's control file wants it; the lines are
# kept under 80 columns. (No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would
# put that one summary above every package's own.)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION [=[
unpack and repack TEX texture archives
Three programs for TEX texture archives (signature TEX, version 3, usually
named .pak):
 - morvex_tex_extractor prints a report of the header, the entry table and
   every entry header, checks the fields stored twice, and writes every
   texture as a TGA, PNG, BMP or PCX image, or as stored;
 - morvex_tex lists, tests and extracts archives for people and scripts
   (aligned lines or JSON), and creates and patches them;
 - morvex_tex_pack builds new archives from images and patches the images of
   existing ones, the way back from the extractor.
Damaged and hostile archives and images are reported; extraction writes
nothing outside its output folder.]=])
set(morvex_library_text [=[
The library behind morvex_tex_extractor, morvex_tex and morvex_tex_pack,
for TEX texture archives (signature TEX, version 3, usually named .pak):
it opens archives from files, descriptors, memory or streams, lists their
entries with every problem found in them, decodes entries into RGBA
pixels, tests and extracts whole archives, writes TGA, PNG, BMP and PCX
images, and creates and patches archives. Damaged and hostile archives are
reported entry by entry; nothing is written outside an output folder.]=])
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "library for TEX texture archives\n${morvex_library_text}")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "library for TEX texture archives - development files\n${morvex_library_text}
This package holds the C headers and their C++ layer, the static library,
and the files pkg-config and CMake find it by.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module for TEX texture archives\n${morvex_library_text}
This package holds the module morvex_tex, which gives Python all of it,
with pixels as NumPy arrays and archives built from arrays.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the shared libraries the programs really link, through
# dpkg-shlibdeps (package dpkg-dev) and file.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# DEBIAN/shlibs for libmorvex-tex1: what a program linking libmorvex_tex.so.1
# depends on. ">=" this version: a later one of the same SONAME serves too.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# All three come from one source, the one their changelog names.
set(CPACK_DEBIAN_PACKAGE_SOURCE ${morvex_package_name})
# The dynamic linker's cache is made again when the library comes or goes.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/triggers)

# The package's own changelog, which Debian wants beside the copyright:
# one entry for this version and release, dated the day of configuring (or
# SOURCE_DATE_EPOCH's, for reproducible builds), and CHANGELOG.md as the
# upstream changelog. Both compressed with no name or time stamp inside.
set(morvex_package_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
# The development files go with the shared library of their own version, and
# with what linking the static one takes.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "${morvex_library_package} (= ${morvex_package_version}), zlib1g-dev, libpng-dev, libdeflate-dev, libwebp-dev, libjpeg62-turbo-dev")
# The Python module: the shared library of this version or later (whose
# functions it calls; dpkg-shlibdeps finds it in the build folder and the
# rest of what the module links, in the system), the Python it was built for
# and NumPy.
if(TARGET morvex_python)
  math(EXPR morvex_python_next "${morvex_python_minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "${morvex_library_package} (>= ${PROJECT_VERSION}), python3 (>= ${morvex_python_major}.${morvex_python_minor}~), python3 (<< ${morvex_python_major}.${morvex_python_next}), python3-numpy")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS python3-pil)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
endif()
string(TIMESTAMP morvex_package_date "%a, %d %b %Y 00:00:00 +0000" UTC)
configure_file(cmake/changelog.Debian.in ${PROJECT_BINARY_DIR}/package/changelog.Debian @ONLY)
configure_file(CHANGELOG.md ${PROJECT_BINARY_DIR}/package/changelog COPYONLY)
foreach(log changelog.Debian changelog)
  execute_process(COMMAND ${MORVEX_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/package/${log}
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/package/${log}.gz
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${PROJECT_BINARY_DIR}/package/${log}")
  endif()
endforeach()
# Beside each package's licence (morvex_doc_dir_* of cmake/install.cmake); and
# what lintian flags in each but is meant, with the reasons.
foreach(component IN LISTS morvex_components)
  install(FILES ${PROJECT_BINARY_DIR}/package/changelog.Debian.gz ${PROJECT_BINARY_DIR}/package/changelog.gz
          DESTINATION ${morvex_doc_dir_${component}} COMPONENT ${component})
endforeach()
install(FILES cmake/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${morvex_package_name} COMPONENT programs)
foreach(component IN ITEMS library dev)
  configure_file(cmake/lintian-overrides-${component}.in ${PROJECT_BINARY_DIR}/package/lintian-overrides-${component} @ONLY)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/package/lintian-overrides-library DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${morvex_library_package} COMPONENT library)
install(FILES ${PROJECT_BINARY_DIR}/package/lintian-overrides-dev DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${morvex_dev_package} COMPONENT development)
if(TARGET morvex_python)
  configure_file(cmake/lintian-overrides-python.in ${PROJECT_BINARY_DIR}/package/lintian-overrides-python @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/lintian-overrides-python DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          RENAME ${morvex_python_deb_package} COMPONENT python)
endif()

# cpack builds only what the package holds, not the tests: the install rules
# don't make everything first (so neither do `make install` and `make
# package`), and cmake/package-build.cmake builds morvex_installables before
# cpack installs (CPACK_INSTALL_SCRIPTS: CMake 3.16).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_INSTALL_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-build.cmake)
set(CPACK_MORVEX_BUILD_DIR ${PROJECT_BINARY_DIR})
set(CPACK_MORVEX_CMAKE_COMMAND ${CMAKE_COMMAND})

include(CPack)
