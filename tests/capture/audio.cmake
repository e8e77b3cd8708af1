# Tests of the audio module.
kx_add_test(NAME tst_kxaudio_stamper SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxaudio_stamper.cpp
  LIBS kx_capture_audio kx_test_main LABELS voxtap)
kx_add_test(NAME tst_kxaudio_collector SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxaudio_collector.cpp
  LIBS kx_capture_audio kx_test_pulse kx_test_aacprobe kx_test_main LABELS voxtap TIMEOUT 180)
