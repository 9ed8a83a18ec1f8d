# The Linux program's files under /usr, as debian/rules packs them: the
# program and its manual page, dated as the release. debhelper adds the
# copyright file, the changelog and the lintian overrides from debian/.
include(GNUInstallDirs)
configure_file(${PROJECT_SOURCE_DIR}/man/Quelvarn.1.in Quelvarn.1 @ONLY)
install(TARGETS Quelvarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/Quelvarn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
