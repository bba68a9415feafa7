# Debian ships OpenCVConfig.cmake only with the libopencv-dev meta package, which drags in
# every module. The station needs core, imgproc and imgcodecs only, so find them directly.
find_path(OpenCV_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4 REQUIRED)
add_library(veltrax_opencv INTERFACE)
target_include_directories(veltrax_opencv SYSTEM INTERFACE ${OpenCV_INCLUDE_DIR})
foreach(module core imgproc imgcodecs)
  find_library(OpenCV_${module}_LIBRARY NAMES opencv_${module} REQUIRED)
  target_link_libraries(veltrax_opencv INTERFACE ${OpenCV_${module}_LIBRARY})
endforeach()
add_library(OpenCV::modules ALIAS veltrax_opencv)
