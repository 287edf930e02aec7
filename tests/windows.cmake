# The Windows test program (included by tests/CMakeLists.txt in Windows builds):
# the tests that need nothing of POSIX, and windows_test.cpp, Windows' own
# rules. scripts/windows-test.sh runs it under Wine, in one process. The tests
# of the writers against the graphics library (Linux only) and those built on
# fork, signals, FIFOs, devices and mounts stay with the Linux build.
set(windows_test_names decision decode extract inflate job records report workers platform windows)
set(windows_test_sources "")
foreach(name IN LISTS windows_test_names)
  list(APPEND windows_test_sources ${CMAKE_CURRENT_SOURCE_DIR}/${name}_test.cpp)
endforeach()
list(FILTER support_sources EXCLUDE REGEX "/image_writers\\.cpp$")

add_executable(morvex_tests ${windows_test_sources} ${support_sources})
target_include_directories(morvex_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(morvex_tests PRIVATE -Wno-restrict)
target_link_libraries(morvex_tests PRIVATE app pack ${gtest_targets} PNG::PNG psapi)
# Beside the programs, where the tests find them.
set_target_properties(morvex_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
target_compile_definitions(morvex_tests PRIVATE
  MORVEX_EXTRACTOR_PATH="$<TARGET_FILE_NAME:morvex_tex_extractor>"
  MORVEX_PACK_PATH="$<TARGET_FILE_NAME:morvex_tex_pack>"
  MORVEX_TEX_PATH="$<TARGET_FILE_NAME:morvex_tex>")
add_dependencies(morvex_tests morvex_tex_extractor morvex_tex_pack morvex_tex)
