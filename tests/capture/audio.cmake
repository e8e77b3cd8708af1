# Tests of the audio module.
kx_add_test(NAME tst_kxaudio_stamper SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxaudio_stamper.cpp
  LIBS kx_capture_audio kx_test_main LABELS voxtap)
kx_add_test(NAME tst_kxaudio_collector SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxaudio_collector.cpp
  LIBS kx_capture_audio kx_test_pulse kx_test_aacprobe kx_test_main LABELS voxtap TIMEOUT 180)
kx_on_both_sound_servers(tst_kxaudio_collector)
# End to end with the local file module, once it is part of the build.
if(TARGET kx_file AND TARGET kx_test_media)
  kx_add_test(NAME tst_kxaudio_recording SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_kxaudio_recording.cpp
    LIBS kx_capture_audio kx_file kx_test_media kx_test_pulse kx_test_aacprobe kx_test_main
    LABELS voxtap TIMEOUT 180)
  kx_on_both_sound_servers(tst_kxaudio_recording)
endif()
