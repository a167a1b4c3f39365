# The Debian package, made by `cpack -G DEB` in a build directory: the two
# binaries, their compressed manual pages, the copyright file and the Debian
# changelog, with the dependencies that dpkg-shlibdeps reads off the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mirvale)
set(CPACK_PACKAGE_VENDOR "Mirvale developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find files with identical content below a directory")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Mirvale walks the whole tree below one directory, computes the MD5 digest\n"
  "of every regular file and prints every group of two or more files whose\n"
  "content is the same, on the console and in the log file MIRVALE.LOG. Its\n"
  "memory stays the same for ten files or ten million, since paths and\n"
  "digests are kept in working files on disk; mirvale-dump lists the records\n"
  "of such a file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Mirvale developers <maintainers@mirvale.invalid>")
# Mirvale is packaged by its own developers, so the package is a native one:
# its version is the tool's, which the changelog's first entry must carry.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog MIRVALE_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT MIRVALE_CHANGELOG_TOP MATCHES "^mirvale \\(([^)]*)\\) " OR
   NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: the first entry is not of version ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
