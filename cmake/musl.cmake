# Builds the Linux release statically against musl, through the specs file
# of Debian's musl-tools, which points g++ at musl's headers, start files and
# C library. Only the C library is used: no C++ library headers, exceptions
# or RTTI, so nothing of libstdc++ (built for glibc) is linked in.
set(QUELVARN_MUSL_SPECS
    /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl/musl-gcc.specs)
if(NOT EXISTS ${QUELVARN_MUSL_SPECS})
  message(FATAL_ERROR "${QUELVARN_MUSL_SPECS} is missing: install musl-tools")
endif()
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_CXX_FLAGS_INIT "-specs=${QUELVARN_MUSL_SPECS} -nostdinc++ \
-fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables")
# The compile flags, specs included, reach the link too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
