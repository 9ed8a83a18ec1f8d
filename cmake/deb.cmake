# The Linux program's files under /usr, as Debian's checker, lintian, asks
# of a package: the manual page and changelog compressed without a time
# stamp, and the licences as a machine-readable copyright file. With
# QUELVARN_PACKAGE, the build also makes of them the Debian package
# quelvarn_<version>_<arch>.deb, and SHA256SUMS.
include(GNUInstallDirs)
set(QUELVARN_MAINTAINER "Quelvarn developers <quelvarn@example.org>" CACHE
    STRING "The .deb's maintainer: whoever publishes it puts their own here")
option(QUELVARN_PACKAGE "Build the .deb and SHA256SUMS with the program" OFF)
set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/quelvarn)

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
# Linked statically, the program holds musl's code too, under the same
# terms; its start files are public domain and ask for no notice.
if(MUSL_GCC)
  set(musl "
Files: usr/bin/Quelvarn
Copyright: ${holders}
           2005-2020 Rich Felker <dalias@aerifal.cx>
           2005-2020 Many other contributors
           2011-2012 Nicholas J. Kain
License: Expat
Comment: The program is linked statically against musl, the C library, and
 so holds some of its code, under the same terms: the copyright lines after
 the first are musl's (Nicholas J. Kain's for its x86_64 __set_thread_area).
")
endif()
file(CONFIGURE OUTPUT copyright @ONLY CONTENT "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Quelvarn

Files: *
Copyright: @holders@
License: Expat
@musl@
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

if(NOT QUELVARN_PACKAGE)
  return()
endif()
# As a Debian source package would give it to dpkg-gencontrol, which adds
# the version (from the changelog), the architecture and the installed size.
file(CONFIGURE OUTPUT control @ONLY CONTENT "\
Source: quelvarn
Maintainer: @QUELVARN_MAINTAINER@

Package: quelvarn
Architecture: any
Section: utils
Priority: optional
Description: initialise a serial port by opening it once, exclusively
 Quelvarn opens the serial port device named COMn (on Linux, COM1 to COM9 are
 /dev/ttyS0 to /dev/ttyS8) once, for reading and writing and with nobody else
 holding it, and closes it again at once. It changes no line setting and moves
 no data. It was written for Windows 98 SE, whose serial ports can need just
 that before another program can use them; this is the same program for
 Linux, with the same Spanish messages and exit statuses.
")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(deb ${CMAKE_BINARY_DIR}/quelvarn_${PROJECT_VERSION}_${arch}.deb)
# Nothing of the builder's reaches the package: the modes are the ones
# dh_fixperms gives (0755 for folders and programs, 0644 for the rest)
# whatever the umask, root owns every file, every time is SOURCE_DATE_EPOCH
# (dpkg-deb would only bring later ones back to it, and a file built before
# the last commit is earlier), and dpkg-deb orders the files by name.
add_custom_command(OUTPUT ${deb}
  COMMAND rm -rf deb
  COMMAND ${CMAKE_COMMAND} --install . --prefix deb/usr
  COMMAND mkdir deb/DEBIAN
  COMMAND sh -c "cd deb && find usr -type f | LC_ALL=C sort | xargs md5sum >DEBIAN/md5sums"
  COMMAND sh -c "dpkg-gencontrol -ccontrol -lchangelog -Pdeb -O >deb/DEBIAN/control"
  COMMAND chmod -R u=rwX,go=rX deb
  COMMAND find deb -exec touch -h -d @${QUELVARN_EPOCH} {} +
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUELVARN_EPOCH}
          dpkg-deb --root-owner-group -Zgzip --build deb ${deb}
  DEPENDS Quelvarn ${CMAKE_BINARY_DIR}/Quelvarn.1.gz
          ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_BINARY_DIR}/control
          ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/lintian-overrides
  COMMENT "Writing the Debian package"
  VERBATIM)
quelvarn_checksums(${CMAKE_BINARY_DIR}/Quelvarn ${deb})
