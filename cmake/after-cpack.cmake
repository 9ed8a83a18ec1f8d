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
