# libVoxtap for Windows: Voxtap.dll, voxtap-record.exe and the tests that run
# under Wine, cross-compiled with MinGW-w64 (cmake/mingw-w64-x86_64.cmake).
#   KX_WIN_DEPS      prefix of the cross-built FFmpeg libraries
#   KX_GTEST_SOURCE  googletest's source tree (Debian's source package)
set(KX_WIN_DEPS "" CACHE PATH "Prefix of the cross-built FFmpeg libraries")
set(KX_GTEST_SOURCE "" CACHE PATH "googletest source tree")
option(KX_BUILD_TESTS "Build the tests" ON)
if(NOT EXISTS "${KX_WIN_DEPS}/lib/libavcodec.a")
  message(FATAL_ERROR "KX_WIN_DEPS must name the cross-built FFmpeg (scripts/build-windows makes it)")
endif()

set(CMAKE_THREAD_PREFER_PTHREAD ON)
find_package(Threads REQUIRED)

function(kx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# The libraries' own link lines (their .pc files) name these system libraries.
add_library(PkgConfig::FFMPEG INTERFACE IMPORTED)
target_include_directories(PkgConfig::FFMPEG INTERFACE ${KX_WIN_DEPS}/include)
target_link_libraries(PkgConfig::FFMPEG INTERFACE
  ${KX_WIN_DEPS}/lib/libavcodec.a ${KX_WIN_DEPS}/lib/libswresample.a ${KX_WIN_DEPS}/lib/libavutil.a
  ole32 user32 bcrypt atomic)

add_subdirectory(platform)
add_subdirectory(voxtap)
add_subdirectory(tools/voxtap-record)

# Programs and the DLL share the compiler's C++ runtime: its DLLs go beside them.
foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libatomic-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    find_file(path_${runtime} ${runtime} PATHS /usr/${KX_MINGW_TRIPLE}/lib NO_CMAKE_FIND_ROOT_PATH)
    set(path "${path_${runtime}}")
  endif()
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "the MinGW-w64 runtime ${runtime} was not found")
  endif()
  file(COPY "${path}" DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
endforeach()

if(KX_BUILD_TESTS)
  if(NOT EXISTS "${KX_GTEST_SOURCE}/CMakeLists.txt")
    message(FATAL_ERROR "KX_GTEST_SOURCE must name googletest's source tree")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KX_GTEST_SOURCE} googletest EXCLUDE_FROM_ALL)
  add_subdirectory(tests/windows)
endif()
