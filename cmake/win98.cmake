# Quelvarn.exe: a console program that Windows 98 SE loads.

# The printf family must be msvcrt.dll's own: mingw-w64 would otherwise link
# its C99 replacement, three times the size. libstdc++'s headers would force
# that replacement on; -nostdinc++, set for every build, keeps them out.
target_compile_definitions(quelvarn_driver PUBLIC
  __USE_MINGW_ANSI_STDIO=0 WIN32_LEAN_AND_MEAN)
target_compile_options(quelvarn_driver PUBLIC
  "$<$<COMPILE_LANGUAGE:CXX>:-ffunction-sections;-fdata-sections>")
# Its version resource, in the project's one version and the licence's words.
enable_language(RC)
file(CONFIGURE OUTPUT quelvarn_version.h CONTENT [[
#define QUELVARN_VERSION_NUMBERS @PROJECT_VERSION_MAJOR@,@PROJECT_VERSION_MINOR@,@PROJECT_VERSION_PATCH@,0
#define QUELVARN_VERSION "@PROJECT_VERSION@"
#define QUELVARN_COPYRIGHT "@QUELVARN_COPYRIGHT@"
]] @ONLY)
target_sources(Quelvarn PRIVATE driver/Quelvarn.rc)
target_include_directories(Quelvarn PRIVATE ${CMAKE_BINARY_DIR})

# Windows 98 is version 4.10 and refuses an image asking for a later
# subsystem; linkers' defaults have moved past it, so say 4.0 outright. The
# header's time stamp would make every build's bytes differ; Windows 98
# reads nothing from it.
target_link_options(Quelvarn PRIVATE
  -static-libgcc -static-libstdc++ -s -Wl,--gc-sections,--no-insert-timestamp
  -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
  -Wl,--major-os-version,4,--minor-os-version,0)

# What a Windows 98 machine is given, as a ZIP and as a 1.44 MB floppy
# image (Windows 98 opens no ZIP): the program, its notes, its licences, its
# installer and two ready ways to start it by hand, all with 8.3 names and
# CR LF line ends.
set(win98 ${PROJECT_SOURCE_DIR}/dist/win98)
configure_file(${win98}/LEEME.TXT.in LEEME.TXT @ONLY NEWLINE_STYLE CRLF)
# configure_file ends only the template's own lines in CR LF.
string(REPLACE "\n" "\r\n" licence "${QUELVARN_LICENCE}")
configure_file(${win98}/LICENCIA.TXT.in LICENCIA.TXT @ONLY NEWLINE_STYLE CRLF)
set(notes ${CMAKE_BINARY_DIR}/LEEME.TXT ${CMAKE_BINARY_DIR}/LICENCIA.TXT
    ${win98}/QUELVARN.INF ${win98}/ARRANQUE.BAT ${win98}/QUELVARN.REG)
set(package_name Quelvarn-${PROJECT_VERSION}-win98)
set(zip ${CMAKE_BINARY_DIR}/${package_name}.zip)
set(disk ${CMAKE_BINARY_DIR}/${package_name}.img)
# In the order of their names, as both archives list them.
set(staged ${notes} ${CMAKE_BINARY_DIR}/Quelvarn.exe)
list(TRANSFORM staged REPLACE ".*/" "${package_name}/")
list(SORT staged)
find_program(MKFS_FAT mkfs.fat PATHS /sbin /usr/sbin REQUIRED)
# Nothing of the builder's reaches either archive: the files' modes are set
# here, not left to the umask; their times are the release's, written
# in UTC, since FAT and ZIP store local time; zip -X leaves out the owner's
# uid and gid. mkfs.fat would draw the volume serial at random and date the
# label now: the serial is the release's date instead, as DOS made it from
# the date of formatting, and --invariant fixes the rest.
math(EXPR serial "${QUELVARN_RELEASE_EPOCH} & 0xFFFFFFFF" OUTPUT_FORMAT HEXADECIMAL)
string(REPLACE 0x "" serial ${serial})
set(utc ${CMAKE_COMMAND} -E env TZ=UTC0 SOURCE_DATE_EPOCH=${QUELVARN_RELEASE_EPOCH})
add_custom_command(OUTPUT ${zip} ${disk}
  COMMAND rm -rf ${package_name} ${zip} ${disk}
  COMMAND install -D -m 0644 -t ${package_name} ${notes}
  COMMAND install -m 0755 $<TARGET_FILE:Quelvarn> ${package_name}
  COMMAND touch -d @${QUELVARN_RELEASE_EPOCH} ${staged}
  COMMAND ${utc} zip -X -D -q ${zip} ${staged}
  COMMAND ${utc} ${MKFS_FAT} --invariant -i ${serial} -C -n QUELVARN ${disk} 1440
  COMMAND ${utc} mcopy -i ${disk} ${staged} ::
  DEPENDS Quelvarn ${notes}
  COMMENT "Writing ${package_name}.zip and ${package_name}.img"
  VERBATIM)
add_custom_target(disks ALL DEPENDS ${zip} ${disk})
