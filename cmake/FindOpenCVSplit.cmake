# Finds the four OpenCV 4 libraries Pavonix uses. Debian's split -dev packages ship
# no CMake config, so headers and libraries are located by hand; a full
# libopencv-dev installation is found the same way.
find_path(OpenCVSplit_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4)
set(_pavonix_cv_modules core imgproc imgcodecs videoio)
set(OpenCVSplit_LIBRARIES "")
foreach(_m IN LISTS _pavonix_cv_modules)
  find_library(OpenCVSplit_${_m}_LIBRARY NAMES opencv_${_m})
  list(APPEND OpenCVSplit_LIBRARIES ${OpenCVSplit_${_m}_LIBRARY})
  list(APPEND _pavonix_cv_required OpenCVSplit_${_m}_LIBRARY)
endforeach()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenCVSplit REQUIRED_VARS OpenCVSplit_INCLUDE_DIR ${_pavonix_cv_required})

if(OpenCVSplit_FOUND AND NOT TARGET pavonix_opencv)
  add_library(pavonix_opencv INTERFACE)
  target_include_directories(pavonix_opencv SYSTEM INTERFACE ${OpenCVSplit_INCLUDE_DIR})
  target_link_libraries(pavonix_opencv INTERFACE ${OpenCVSplit_LIBRARIES})
endif()
