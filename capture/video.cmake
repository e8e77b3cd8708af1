# The camera path: frame intake, preview worker, H.264 encoder and the camera
# module, over the capture graph (kx_capture_booth, from booth.cmake).
include(${CMAKE_CURRENT_SOURCE_DIR}/booth.cmake OPTIONAL)

if(TARGET kx_capture_booth)
  add_library(kx_capture_video STATIC
    ${CMAKE_CURRENT_LIST_DIR}/KxFrameBuffer.h
    ${CMAKE_CURRENT_LIST_DIR}/KxFrameBuffer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KxCamData.h
    ${CMAKE_CURRENT_LIST_DIR}/KxCamData.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KxCamDisplay.h
    ${CMAKE_CURRENT_LIST_DIR}/KxCamDisplay.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KxCamEncoder.h
    ${CMAKE_CURRENT_LIST_DIR}/KxCamEncoder.cpp
    ${CMAKE_CURRENT_LIST_DIR}/KxModuleCamera.h
    ${CMAKE_CURRENT_LIST_DIR}/KxModuleCamera.cpp
  )
  target_include_directories(kx_capture_video PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(kx_capture_video PUBLIC kx_core kx_capture_booth
    PRIVATE kx_platform_display PkgConfig::FFMPEG kx_libyuv)
  kx_warnings(kx_capture_video)
endif()
