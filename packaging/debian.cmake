# The Debian package, made by `cpack -G DEB` in a build directory: the two
# binaries, the compressed manual page and the copyright file, with the
# dependencies that dpkg-shlibdeps reads off the binaries.
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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Mirvale developers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
