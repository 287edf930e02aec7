# Install rules for the lists of the top-level CMakeLists.txt (morvex_programs,
# morvex_man_pages, morvex_completions), in the GNU layout: programs in bin,
# man pages in share/man/man1, completions where bash-completion looks for them.

# The Debian package's name, also the folder under share/doc holding the licence.
set(morvex_package_name morvex-tex-extractor)

install(TARGETS ${morvex_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Stripped installs (cpack, `cmake --install --strip`) lose the compilers'
# version notes too (the .comment section), as Debian's packages do.
if(CMAKE_STRIP)
  foreach(program IN LISTS morvex_programs)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${program}>\"
          RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
          message(FATAL_ERROR \"strip could not remove .comment from ${program}\")
        endif()
      endif()")
  endforeach()
endif()

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
install(FILES ${morvex_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${morvex_completions} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

# Debian's place and name for the licence; anywhere else it does no harm.
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${morvex_package_name} RENAME copyright)

# Everything above, for run.sh: building this and then installing finds every file.
add_custom_target(morvex_installables)
add_dependencies(morvex_installables ${morvex_programs} morvex_man)
