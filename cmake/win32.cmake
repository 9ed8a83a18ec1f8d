# Quelvarn.exe: a console program that Windows 98 SE loads.
target_sources(Quelvarn PRIVATE
  ${PROJECT_SOURCE_DIR}/driver/standard_output-win32.cpp
  ${PROJECT_SOURCE_DIR}/port/initialize_port-win32.cpp)

# The printf family must be msvcrt.dll's own: mingw-w64 would otherwise link
# its C99 replacement, three times the size. libstdc++'s headers force that
# replacement on, and the program uses only the C library, so they stay out.
target_compile_definitions(quelvarn_driver PUBLIC
  __USE_MINGW_ANSI_STDIO=0 WIN32_LEAN_AND_MEAN)
target_compile_options(quelvarn_driver PUBLIC -nostdinc++)
# Nothing here throws or asks for types at run time; leaving both out keeps
# the C++ runtime, and its imports, out of the image.
target_compile_options(quelvarn_driver PUBLIC
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -ffunction-sections -fdata-sections)

# Windows 98 is version 4.10 and refuses an image asking for a later
# subsystem; linkers' defaults have moved past it, so say 4.0 outright.
target_link_options(Quelvarn PRIVATE
  -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
  -Wl,--major-subsystem-version,4,--minor-subsystem-version,0
  -Wl,--major-os-version,4,--minor-os-version,0)

# The ZIP to carry to a Windows 98 machine: the program and a note in CR LF.
install(TARGETS Quelvarn RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/LEEME.TXT DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME Quelvarn-${PROJECT_VERSION}-win98)
include(CPack)
