# What libtessaro and its processor tests need when they are built alone (the cross build for the board): the
# OpenCV core library (camcal), GoogleTest (built from Debian's sources when no build of it is found) and threads.
find_package(Threads REQUIRED)
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  # GoogleTest's own sources are not held to this project's warnings.
  foreach(gtest_target gtest gtest_main)
    target_compile_options(${gtest_target} PRIVATE -Wno-error)
  endforeach()
endif()
include(GoogleTest)

find_package(OpenCV QUIET COMPONENTS core)
if(NOT OpenCV_FOUND)
  # A sysroot of unpacked packages carries the core library and its headers without OpenCV's CMake files.
  find_library(OPENCV_CORE_LIBRARY opencv_core REQUIRED)
  find_path(OPENCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
  find_path(OPENCV_CONFIG_INCLUDE_DIR opencv2/cvconfig.h PATH_SUFFIXES ${CMAKE_LIBRARY_ARCHITECTURE}/opencv4 REQUIRED)
  add_library(opencv_core_only SHARED IMPORTED)
  set_target_properties(opencv_core_only PROPERTIES IMPORTED_LOCATION "${OPENCV_CORE_LIBRARY}"
                        INTERFACE_INCLUDE_DIRECTORIES "${OPENCV_INCLUDE_DIR};${OPENCV_CONFIG_INCLUDE_DIR}")
  set(OpenCV_LIBS opencv_core_only)
endif()
