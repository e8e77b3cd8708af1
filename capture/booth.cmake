# The capture graph over the platform camera layer; linked into the camera
# path (kx_capture_video).
add_library(kx_capture_booth STATIC
  ${CMAKE_CURRENT_LIST_DIR}/IKxBooth.h
  ${CMAKE_CURRENT_LIST_DIR}/IKxYUVDataCallBack.h
  ${CMAKE_CURRENT_LIST_DIR}/KxVideoFrame.h
  ${CMAKE_CURRENT_LIST_DIR}/KxBooth.h
  ${CMAKE_CURRENT_LIST_DIR}/KxBooth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KxJpegDecoder.h
  ${CMAKE_CURRENT_LIST_DIR}/KxJpegDecoder.cpp
)
target_include_directories(kx_capture_booth PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kx_capture_booth PUBLIC kx_core kx_platform_camera Qt5::Core
  PRIVATE kx_libyuv PkgConfig::JPEG)
kx_warnings(kx_capture_booth)
