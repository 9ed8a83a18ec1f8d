# Run by cpack once the packages are written: lists the SHA-256 of each
# artifact of the tree in SHA256SUMS beside them, as sha256sum writes it, so
# that "sha256sum -c" in another build of the same commit checks that one.
set(sums "")
foreach(file IN LISTS CPACK_QUELVARN_ARTIFACTS CPACK_PACKAGE_FILES)
  file(SHA256 ${file} sum)
  cmake_path(GET file FILENAME name)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
