include(${CMAKE_CURRENT_SOURCE_DIR}/booth.cmake OPTIONAL)
