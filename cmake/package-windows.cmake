# The Windows build's install and package: `cpack -G ZIP` makes one .zip of the
# three programs (statically linked, nothing else needed), the README, the
# licence and the manuals as plain text, the licences of the libraries linked
# in (licenses/), all in one folder named after the package and its version;
# and the library: its headers in include/, the
# static library and the DLL's import library in lib/, the DLL (C++ and thread
# runtimes linked in, nothing else needed) beside the programs; and the
# browser page morvex_tex.html beside them when MORVEX_WEB_PAGE_INSTALL names it.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME morvex_tex_extractor)
set(CPACK_PACKAGE_VENDOR "the morvex_tex_extractor developers")
set(CPACK_SYSTEM_NAME windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)

install(TARGETS ${morvex_programs} RUNTIME DESTINATION .)
install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
install(TARGETS morvex_tex_shared RUNTIME DESTINATION . ARCHIVE DESTINATION lib)
install(TARGETS morvex_tex_static ARCHIVE DESTINATION lib)
install(DIRECTORY include/morvex_tex/ DESTINATION include/morvex_tex)
install(FILES doc/api.md DESTINATION doc)
# The browser page (scripts/build-web.sh), beside the programs when the build
# is told where it is.
set(MORVEX_WEB_PAGE_INSTALL "" CACHE FILEPATH "morvex_tex.html from scripts/build-web.sh, put in the .zip when set")
if(MORVEX_WEB_PAGE_INSTALL)
  if(NOT EXISTS "${MORVEX_WEB_PAGE_INSTALL}")
    message(FATAL_ERROR "MORVEX_WEB_PAGE_INSTALL: no file ${MORVEX_WEB_PAGE_INSTALL} (scripts/build-web.sh makes it)")
  endif()
  install(FILES ${MORVEX_WEB_PAGE_INSTALL} DESTINATION . RENAME morvex_tex.html)
endif()

# The licences of the libraries linked in (zlib, libpng, libdeflate, libwebp,
# libjpeg-turbo, and the mingw-w64 runtime with winpthreads), as their terms
# ask of a binary's distribution: kept by scripts/build-windows.sh beside
# them, in MORVEX_WINDOWS_DEPS/licenses.
set(morvex_dep_licences "")
foreach(name zlib libpng libdeflate libwebp libjpeg-turbo mingw-w64)
  set(text "${MORVEX_WINDOWS_DEPS}/licenses/${name}.txt")
  if(MORVEX_WINDOWS_DEPS AND EXISTS "${text}")
    list(APPEND morvex_dep_licences "${text}")
  else()
    message(WARNING "No ${text}: the .zip would ship ${name} without its licence (scripts/build-windows.sh keeps it)")
  endif()
endforeach()
install(FILES ${morvex_dep_licences} DESTINATION licenses)

# The manuals as text, as `man` would show them, without the terminal's
# bold and underline.
find_program(MORVEX_GROFF groff)
if(NOT MORVEX_GROFF)
  message(FATAL_ERROR "groff is needed to turn the manuals into text (package groff-base)")
endif()
set(morvex_manual_texts "")
foreach(page IN LISTS morvex_man_pages)
  get_filename_component(name ${page} NAME_WE)
  set(configured ${PROJECT_BINARY_DIR}/man/${name}.1)
  configure_file(${page} ${configured} @ONLY)
  set(text ${PROJECT_BINARY_DIR}/man/${name}.txt)
  add_custom_command(OUTPUT ${text}
                     COMMAND ${MORVEX_GROFF} -man -Tutf8 -P-cbou ${configured} > ${text}
                     DEPENDS ${configured}
                     COMMENT "Manual ${name} as text")
  list(APPEND morvex_manual_texts ${text})
endforeach()
add_custom_target(morvex_manuals ALL DEPENDS ${morvex_manual_texts})
install(FILES ${morvex_manual_texts} DESTINATION .)

add_custom_target(morvex_installables)
add_dependencies(morvex_installables ${morvex_programs} morvex_manuals morvex_tex_shared morvex_tex_static)

include(CPack)
