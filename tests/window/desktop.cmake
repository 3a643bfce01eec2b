# The window on a desktop, once per screen scale it must hold at (each scale is a process of its
# own): 96 to 192 DPI through the offscreen platform's screen description, with Qt's own scaling
# off so that twips and points scale with the DPI, and Qt's scale factors.
add_executable(tst_desktop tst_desktop.cpp)
target_link_libraries(tst_desktop PRIVATE zorore_window Qt6::Test)
foreach(dpi 96 120 144 192)
  set(screen ${CMAKE_CURRENT_BINARY_DIR}/screen-${dpi}dpi.json)
  file(WRITE ${screen} "{\"screens\": [{\"name\": \"s\", \"width\": 2400, \"height\": 1600, \"logicalDpi\": ${dpi}}]}\n")
  add_test(NAME tst_desktop_${dpi}dpi COMMAND tst_desktop)
  set_tests_properties(tst_desktop_${dpi}dpi PROPERTIES LABELS window TIMEOUT 60
                       ENVIRONMENT "QT_QPA_PLATFORM=offscreen:configfile=${screen};QT_ENABLE_HIGHDPI_SCALING=0")
endforeach()
foreach(factor 1.25 1.5 2)
  add_test(NAME tst_desktop_scale${factor} COMMAND tst_desktop textsFitTheirControls)
  set_tests_properties(tst_desktop_scale${factor} PROPERTIES LABELS window TIMEOUT 60
                       ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=${factor}")
endforeach()
