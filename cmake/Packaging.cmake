# The Debian package of the three programs, made by CPack ("make package" at the top, or the
# "package" target of a build tree): everything that "cmake --install" puts under /usr.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillworks)
set(CPACK_PACKAGE_VERSION ${QUILLWORKS_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel quillworks developers <quillworks-bugs@kestrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small tools for Linux mail hosts")
set(CPACK_PACKAGE_DESCRIPTION "Three command-line programs for a mail host running qmail: runnel
copies files or standard input to standard output, and on request numbers
the lines, marks line ends and shows control and high bytes; queuepeek
counts the delivered and bounced recipients of a message in the qmail
queue and extracts its bounced addresses; pathprobe tells whether a path
can be opened for reading.

With manual pages, German and French messages for runnel, and bash
completion for runnel and queuepeek.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The programs are built with debug information; the package carries them stripped.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependency on libc6, with the version that the programs' symbols need, comes from
# dpkg-shlibdeps rather than from a guess written here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git")

include(CPack)
