# Builds the Linux release statically against musl with musl-gcc, the
# wrapper from Debian's musl-tools that points gcc at musl's headers, start
# files and C library. gcc compiles the C++ sources as C++ but links no C++
# library, which the program, using only the C library, does not need.
find_program(MUSL_GCC musl-gcc)
if(NOT MUSL_GCC)
  message(FATAL_ERROR "musl-gcc is missing: install musl-tools")
endif()
set(CMAKE_CXX_COMPILER ${MUSL_GCC})
# musl-gcc's link leaves out the build-id that Debian's gcc gives every
# program, and that debuggers and dh_strip's -dbgsym package look it up
# by. Stripping is left to whoever ships it: dh_strip, or strip(1).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--build-id=sha1")
# Of Debian's default hardening flags, the one a static musl program gains
# from: a canary in each function with a buffer, a few instructions a run.
# Debian's ld links RELRO already. musl has no _FORTIFY_SOURCE functions,
# and nothing is linked at run time for PIE or BIND_NOW to act on.
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong")
