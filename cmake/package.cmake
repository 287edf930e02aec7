# `cpack -G DEB` in the build folder makes one Debian package of everything
# cmake/install.cmake installs, under /usr.

# Packagers who build their own package put their name and address here.
set(MORVEX_PACKAGE_MAINTAINER "the morvex_tex_extractor developers"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${morvex_package_name})
set(CPACK_PACKAGE_VENDOR "the morvex_tex_extractor developers")
set(CPACK_PACKAGE_CONTACT ${MORVEX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack and repack TEX texture archives")
# CMake 3.16 and later put the summary first and indent every line of this text
# as Debian's control file wants it; the lines are kept under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION [=[
morvex_tex_extractor unpacks TEX texture archives (signature TEX, version 3,
usually named .pak): it prints a report of the header, the entry table and
every entry header, checks the fields stored twice, and writes every texture
as a TGA, PNG, BMP or PCX image, or as stored. Damaged and hostile archives
are reported, and nothing is written outside the current folder.

morvex_tex_pack builds new archives from images and patches the images of
existing ones, the way back from the extractor.]=])
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

include(CPack)
