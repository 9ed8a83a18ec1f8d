# The shipping builds, made beside a native development tree so that its
# tests can check them as they ship: the Linux release, static against musl,
# with its .deb (in <build>/release), and Quelvarn.exe with its ZIP and
# floppy image (in <build>/windows-i686). Each is configured and built as
# its preset is.
option(QUELVARN_RELEASE "Build the Linux release and its .deb beside" OFF)
option(QUELVARN_WINDOWS "Build Quelvarn.exe and its disk beside" OFF)

include(ExternalProject)
function(quelvarn_build_beside dir toolchain)
  ExternalProject_Add(${dir}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/${dir}
    CMAKE_ARGS -G ${CMAKE_GENERATOR}
               -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/${toolchain}.cmake
               -DCMAKE_BUILD_TYPE=MinSizeRel
               -DCMAKE_COMPILE_WARNING_AS_ERROR=${CMAKE_COMPILE_WARNING_AS_ERROR}
               ${ARGN}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endfunction()

if(QUELVARN_RELEASE)
  quelvarn_build_beside(release musl -DBUILD_TESTING=OFF -DQUELVARN_PACKAGE=ON)
endif()
if(QUELVARN_WINDOWS)
  find_program(MINGW_I686 i686-w64-mingw32-g++-win32 REQUIRED)
  quelvarn_build_beside(windows-i686 mingw)
endif()
