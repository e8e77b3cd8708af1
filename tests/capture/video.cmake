# Tests of the camera path: preview layer, frame pipeline, encoder, module.
if(TARGET kx_platform_display)
  kx_add_test(NAME tst_display SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_display.cpp
    LIBS kx_platform_display kx_libyuv PkgConfig::X11LIBS kx_test_main LABELS capture GUI)
endif()
if(TARGET kx_capture_video)
  kx_add_test(NAME tst_kxcamencoder SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxcamencoder.cpp
    LIBS kx_capture_video kx_core kx_platform_camera PkgConfig::FFMPEG kx_test_main
    LABELS capture THREADS TIMEOUT 300)
endif()
if(TARGET kx_capture_video)
  kx_add_test(NAME tst_kxcamdata SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxcamdata.cpp
    LIBS kx_capture_video kx_test_main LABELS capture)
  kx_add_test(NAME tst_kxmodulecamera SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxmodulecamera.cpp
    LIBS kx_capture_video kx_core kx_platform_camera PkgConfig::FFMPEG kx_test_main
    LABELS capture THREADS TIMEOUT 300)
endif()
if(TARGET kx_capture_video)
  kx_add_test(NAME tst_kxmodulecamera_gui SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxmodulecamera_gui.cpp
    LIBS kx_capture_video kx_core kx_platform_camera kx_libyuv PkgConfig::X11LIBS PkgConfig::FFMPEG kx_test_main
    LABELS capture GUI)
endif()
if(TARGET kx_capture_video AND TARGET kx_file AND TARGET kx_test_media)
  kx_add_test(NAME tst_kxmodulecamera_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxmodulecamera_file.cpp
    LIBS kx_capture_video kx_file kx_test_media kx_core kx_platform_camera kx_libyuv PkgConfig::FFMPEG kx_test_main
    LABELS capture THREADS TIMEOUT 300)
endif()
# Real time: 30 s of flash and clicks, then 20 s from a slow camera.
if(TARGET kx_capture_video AND TARGET kx_file AND TARGET kx_avsync)
  kx_add_test(NAME tst_kxrecording_sync SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxrecording_sync.cpp
    LIBS kx_capture_video kx_capture_audio kx_file kx_avsync kx_test_pulse kx_core PkgConfig::FFMPEG kx_test_main
    LABELS capture e2e TIMEOUT 240)
  add_dependencies(tst_kxrecording_sync kx-click)
  # Takes turns with the other real-time recordings (tests/core).
  set_tests_properties(tst_kxrecording_sync PROPERTIES RESOURCE_LOCK realtime_recording)
endif()
