# Setup > Ports... with the real serial control, on a pseudo-terminal under the line emulation.
zptt_qtest(tst_ports_dialog window tst_ports_dialog.cpp)
target_include_directories(tst_ports_dialog PRIVATE ${PROJECT_SOURCE_DIR}/tests/unit/ports)
target_link_libraries(tst_ports_dialog PRIVATE zorore_window util)
add_dependencies(tst_ports_dialog uartemu)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/lock)
set_property(TEST tst_ports_dialog APPEND PROPERTY ENVIRONMENT
  "LD_PRELOAD=$<TARGET_FILE:uartemu>" "UARTEMU_GUARD=1" "UARTEMU_MATCH=/dev/pts/"
  "UARTEMU_LOG=${CMAKE_CURRENT_BINARY_DIR}/uartemu.log" "ZORORE_LOCK_DIR=${CMAKE_CURRENT_BINARY_DIR}/lock"
  $<$<BOOL:${ZORORE_SANITIZE}>:ASAN_OPTIONS=verify_asan_link_order=0>)
