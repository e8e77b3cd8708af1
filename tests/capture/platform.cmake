# Tests of the camera layer and the capture graph.
kx_add_test(NAME tst_camera_device
  SOURCES tst_camera_device.cpp
  LIBS kx_platform_camera kx_libyuv Qt5::Core kx_test_main
  LABELS capture THREADS)
kx_add_test(NAME tst_kxbooth
  SOURCES tst_kxbooth.cpp
  LIBS kx_capture_booth kx_libyuv PkgConfig::JPEG Qt5::Core Qt5::Test kx_test_main
  LABELS capture THREADS)
