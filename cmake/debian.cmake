# The Linux program's files under /usr, as Debian's checker, lintian, asks
# of a package: the manual page and changelog compressed without a time
# stamp, and the licences as a machine-readable copyright file. With
# QUELVARN_PACKAGE, the build also makes of them the Debian package
# quelvarn_<version>_<arch>.deb, with SHA256SUMS and its .buildinfo.
include(GNUInstallDirs)
set(QUELVARN_MAINTAINER "Quelvarn developers <quelvarn@example.org>" CACHE
    STRING "The .deb's maintainer: whoever publishes it puts their own here")
option(QUELVARN_PACKAGE "Build the .deb, SHA256SUMS and .buildinfo" OFF)
set(debian ${PROJECT_SOURCE_DIR}/dist/debian)

configure_file(${debian}/changelog.in changelog @ONLY)
configure_file(${debian}/Quelvarn.1.in Quelvarn.1 @ONLY)
foreach(page Quelvarn.1 changelog)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -n -9 -k -f ${page}
    DEPENDS ${CMAKE_BINARY_DIR}/${page})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS Quelvarn.1.gz changelog.gz)

# DEP-5 holds a licence's text indented, its blank lines as " .".
string(REPLACE "Copyright " "" holders "${QUELVARN_COPYRIGHT}")
string(REGEX REPLACE ".*\n\n(Permission)" "\\1" licence "${QUELVARN_LICENCE}")
string(STRIP "${licence}" licence)
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence "${licence}")
# Linked statically, the program holds musl's code too; see the template.
if(MUSL_GCC)
  file(READ ${debian}/copyright-musl.in musl)
  string(CONFIGURE "${musl}" musl @ONLY)
endif()
configure_file(${debian}/copyright.in copyright @ONLY)

install(TARGETS Quelvarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/Quelvarn.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quelvarn)
install(FILES ${debian}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME quelvarn)

if(NOT QUELVARN_PACKAGE)
  return()
endif()
configure_file(${debian}/control.in control @ONLY)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QUELVARN_DEB ${CMAKE_BINARY_DIR}/quelvarn_${PROJECT_VERSION}_${arch}.deb)
add_custom_command(OUTPUT ${QUELVARN_DEB}
  COMMAND rm -rf deb
  COMMAND ${CMAKE_COMMAND} --install . --prefix deb/usr
  COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUELVARN_EPOCH}
          ${PROJECT_SOURCE_DIR}/scripts/make-deb deb control changelog
          ${QUELVARN_DEB}
  DEPENDS Quelvarn ${CMAKE_BINARY_DIR}/Quelvarn.1.gz
          ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_BINARY_DIR}/control
          ${CMAKE_BINARY_DIR}/copyright ${debian}/lintian-overrides
          ${PROJECT_SOURCE_DIR}/scripts/make-deb
  COMMENT "Writing the Debian package"
  VERBATIM)
quelvarn_release(quelvarn_${PROJECT_VERSION}_${arch}
  ARTIFACTS ${CMAKE_BINARY_DIR}/Quelvarn ${QUELVARN_DEB})
