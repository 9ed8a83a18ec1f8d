# Built into the Windows trees for the native end-to-end runner to start.
add_executable(quelvarn_helper ${CMAKE_CURRENT_LIST_DIR}/helper.cpp)
target_link_options(quelvarn_helper PRIVATE -static-libgcc -static-libstdc++)

add_executable(yardstick ${CMAKE_CURRENT_LIST_DIR}/yardstick.cpp)
target_link_options(yardstick PRIVATE -static-libgcc -static-libstdc++ -s)
