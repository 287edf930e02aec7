# Run by cpack before it installs (CPACK_INSTALL_SCRIPTS of cmake/package.cmake):
# builds the programs and man pages the package holds, and not the tests.
set(args --build ${CPACK_MORVEX_BUILD_DIR} --target morvex_installables)
if(CPACK_BUILD_CONFIG)
  list(APPEND args --config ${CPACK_BUILD_CONFIG})
endif()
execute_process(COMMAND ${CPACK_MORVEX_CMAKE_COMMAND} ${args} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "building the package's programs failed (${status})")
endif()
