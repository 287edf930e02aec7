# The library, built from the module objects once:
#   libmorvex_tex.a      every module (format, images, files, entries, pack,
#                        words) and the API; the programs link it, as they use
#                        far more than the API;
#   libmorvex_tex.so.1   the same objects, only the API exported (a C ABI,
#                        include/morvex_tex/morvex_tex.h), SONAME
#                        libmorvex_tex.so.1: the 1 is MORVEX_TEX_ABI_VERSION,
#                        raised on any change an existing caller would notice.
# Installed by cmake/install.cmake (Linux) and cmake/package-windows.cmake.

set(morvex_abi_version 1)

# The API: include/morvex_tex/ (the C ABI and its header-only C++ layer) and
# api/ (its functions, over the modules).
add_library(morvex_tex_api OBJECT api/common.cpp api/open.cpp api/entries.cpp api/walks.cpp api/diff.cpp api/images.cpp
            api/pack.cpp api/pack_adapter.cpp api/system_${morvex_system}.cpp)
# The modules' headers by folder: these objects go into the archive the
# modules are in.
target_include_directories(morvex_tex_api PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(morvex_tex_api PRIVATE morvex_version)
if(WIN32)
  # The functions carry __declspec(dllexport) for the DLL; the static library
  # holds the same objects.
  target_compile_definitions(morvex_tex_api PRIVATE MORVEX_TEX_BUILDING_DLL)
endif()

set(morvex_objects
  $<TARGET_OBJECTS:format> $<TARGET_OBJECTS:images> $<TARGET_OBJECTS:files> $<TARGET_OBJECTS:entries>
  $<TARGET_OBJECTS:pack> $<TARGET_OBJECTS:words> $<TARGET_OBJECTS:morvex_tex_api>)

add_library(morvex_tex_static STATIC ${morvex_objects})
set_target_properties(morvex_tex_static PROPERTIES OUTPUT_NAME morvex_tex EXPORT_NAME morvex_tex_static
                                                   LINKER_LANGUAGE CXX)
# The objects are the module libraries' own: made before they are archived again.
add_dependencies(morvex_tex_static format images files entries pack words morvex_tex_api)
target_include_directories(morvex_tex_static PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# What the modules link, for whoever links the archive: here the found
# targets; once installed, the libraries by name.
foreach(dependency ZLIB::ZLIB PkgConfig::LIBDEFLATE PNG::PNG PkgConfig::LIBWEBP PkgConfig::LIBJPEG morvex_version)
  target_link_libraries(morvex_tex_static PUBLIC $<BUILD_INTERFACE:${dependency}>)
endforeach()
target_link_libraries(morvex_tex_static PUBLIC Threads::Threads $<INSTALL_INTERFACE:deflate> $<INSTALL_INTERFACE:webp>
                      $<INSTALL_INTERFACE:jpeg> $<INSTALL_INTERFACE:png> $<INSTALL_INTERFACE:z>)
if(WIN32)
  target_link_libraries(morvex_tex_static PUBLIC ntdll bcrypt shell32)
endif()

# The browser has no shared libraries: the page's module links the archive.
if(EMSCRIPTEN)
  return()
endif()

# The shared library: the API's objects, and from the archive what they call.
add_library(morvex_tex_shared SHARED $<TARGET_OBJECTS:morvex_tex_api>)
set_target_properties(morvex_tex_shared PROPERTIES OUTPUT_NAME morvex_tex EXPORT_NAME morvex_tex
                      VERSION ${morvex_abi_version}.0.0 SOVERSION ${morvex_abi_version})
target_include_directories(morvex_tex_shared INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(morvex_tex_shared PRIVATE morvex_tex_static)
if(WIN32)
  # Its callers import the functions from the DLL.
  target_compile_definitions(morvex_tex_shared INTERFACE MORVEX_TEX_DLL)
  # A DLL that needs nothing but the system's: the C++ and thread runtimes in it.
  target_link_options(morvex_tex_shared PRIVATE -static -static-libgcc -static-libstdc++)
  set_target_properties(morvex_tex_shared PROPERTIES RUNTIME_OUTPUT_NAME morvex_tex-${morvex_abi_version})
else()
  # Only morvex_tex_* leaves the library, versioned MORVEX_TEX_1, whatever the
  # C++ library's templates would export; nothing may be left unresolved.
  set(morvex_version_script ${PROJECT_SOURCE_DIR}/api/morvex_tex.map)
  target_link_options(morvex_tex_shared PRIVATE -Wl,--version-script=${morvex_version_script} -Wl,--no-undefined)
  set_target_properties(morvex_tex_shared PROPERTIES LINK_DEPENDS ${morvex_version_script})
endif()

# The examples, on the shared library as a user builds them on an installed
# one (scripts/package-test.sh does that too, and runs them).
if(BUILD_TESTING)
  foreach(example list_entries entry_to_png)
    add_executable(morvex_example_${example} examples/${example}.cpp)
    target_link_libraries(morvex_example_${example} PRIVATE morvex_tex_shared)
    set_target_properties(morvex_example_${example} PROPERTIES OUTPUT_NAME ${example}
                          RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/examples)
  endforeach()
endif()

# The shared library exports the API's functions, every one, and nothing else.
if(BUILD_TESTING AND NOT WIN32)
  add_test(NAME LibraryExports.only_the_api
           COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:morvex_tex_shared> -DNM=${CMAKE_NM}
                   -DHEADERS=${PROJECT_SOURCE_DIR}/include/morvex_tex -P ${PROJECT_SOURCE_DIR}/cmake/check-exports.cmake)
endif()
