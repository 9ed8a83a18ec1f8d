# The Linux program's Debian package, quelvarn_<version>_<arch>.deb,
# installing to /usr what Debian's checker, lintian, asks of a package: the
# manual page and changelog compressed without a time stamp, and the licence
# as a machine-readable copyright file.
include(GNUInstallDirs)
set(QUELVARN_MAINTAINER "Quelvarn developers <quelvarn@example.org>" CACHE
    STRING "The .deb's maintainer: whoever publishes it puts their own here")
set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/quelvarn)

# The changelog's entry is dated the day of the release it describes.
set(ENV{SOURCE_DATE_EPOCH} ${QUELVARN_RELEASED})
string(TIMESTAMP QUELVARN_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} ${QUELVARN_EPOCH})
configure_file(docs/changelog.in changelog @ONLY)
configure_file(docs/Quelvarn.1.in Quelvarn.1 @ONLY)
foreach(page Quelvarn.1 changelog)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND sh -c "gzip -n -9 <${page} >${page}.gz"
    DEPENDS ${CMAKE_BINARY_DIR}/${page}
    VERBATIM)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS Quelvarn.1.gz changelog.gz)

file(READ LICENSE licence)
string(REGEX MATCH "Copyright ([^\n]*)" _ "${licence}")
set(holders ${CMAKE_MATCH_1})
string(REGEX REPLACE ".*\n\n(Permission)" "\\1" licence "${licence}")
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
file(CONFIGURE OUTPUT copyright @ONLY CONTENT "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quelvarn

Files: *
Copyright: @holders@
License: Expat

License: Expat
 @licence@
")
file(CONFIGURE OUTPUT lintian-overrides CONTENT "\
# Linked statically against musl on purpose: it loads nothing, and so runs
# on any Linux, with no C library installed or another one.
quelvarn: statically-linked-binary [usr/bin/Quelvarn]
")

install(TARGETS Quelvarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/Quelvarn.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${doc})
install(FILES ${CMAKE_BINARY_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME quelvarn)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quelvarn)
set(CPACK_PACKAGE_CONTACT ${QUELVARN_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
initialise a serial port by opening it once, exclusively
Quelvarn opens the serial port device named COMn (on Linux, COM1 to COM9 are
/dev/ttyS0 to /dev/ttyS8) once, for reading and writing and with nobody else
holding it, and closes it again at once. It changes no line setting and moves
no data. It was written for Windows 98 SE, whose serial ports can need just
that before another program can use them; this is the same program for
Linux, with the same Spanish messages and exit statuses.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_QUELVARN_ARTIFACTS ${CMAKE_BINARY_DIR}/Quelvarn)
