# Run by cpack once the packages are written, in the build's
# SOURCE_DATE_EPOCH.

# CPack lays out a ZIP's files in the order the file system lists them,
# which differs from one file system to another: the ZIP is written again
# from the same files, in the order of their names.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    file(GLOB_RECURSE files LIST_DIRECTORIES false
         RELATIVE ${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
    list(SORT files)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${package} --format=zip
                            -- ${files}
                    WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

# CPack counts the staged folders' own sizes, which differ from one file
# system to another, into the .deb's Installed-Size. The package is built
# again by dpkg-deb from the same files, with the size that dpkg-gencontrol
# would give it: each file's size in KiB rounded up, and 1 for a folder.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.deb$")
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/dpkg-deb)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree}
                    COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB_RECURSE entries LIST_DIRECTORIES true ${tree}/*)
    list(FILTER entries EXCLUDE REGEX "/DEBIAN(/|$)")
    set(kib 0)
    foreach(entry IN LISTS entries)
      set(size 1024)
      if(NOT IS_DIRECTORY ${entry})
        file(SIZE ${entry} size)
      endif()
      math(EXPR kib "${kib} + (${size} + 1023) / 1024")
    endforeach()
    file(READ ${tree}/DEBIAN/control control)
    string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}"
           control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree}
                            ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

# SHA256SUMS lists every artifact of the tree beside them, as sha256sum
# writes it, so that "sha256sum -c" in another build of the same commit
# checks that one.
set(sums "")
foreach(file IN LISTS CPACK_QUELVARN_ARTIFACTS CPACK_PACKAGE_FILES)
  file(SHA256 ${file} sum)
  cmake_path(GET file FILENAME name)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
