# The audio module: drives libVoxtap and turns its AAC output into packets.
add_library(kx_capture_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/AudioCapImpl.h
  ${CMAKE_CURRENT_LIST_DIR}/AudioCapImpl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KxAudioCollector.h
  ${CMAKE_CURRENT_LIST_DIR}/KxAudioCollector.cpp
)
target_include_directories(kx_capture_audio PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(kx_capture_audio PUBLIC kx_core Voxtap voxtap_names)
set_target_properties(kx_capture_audio PROPERTIES AUTOMOC OFF)
kx_warnings(kx_capture_audio)
