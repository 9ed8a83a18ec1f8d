# Built into the Windows trees for the end-to-end table: starts Quelvarn.exe
# with a raw command line, holding a file open as another program would.
add_executable(quelvarn_helper ${CMAKE_CURRENT_LIST_DIR}/helper.cpp)
target_link_options(quelvarn_helper PRIVATE -static-libgcc -static-libstdc++)
