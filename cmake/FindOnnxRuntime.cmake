# Provides OnnxRuntime::OnnxRuntime.
# A system installation (Debian 13 and newer ship libonnxruntime-dev) is
# preferred; otherwise the library and headers that scripts/setup-deps placed
# in third_party/onnxruntime are used.
include(FindPackageHandleStandardArgs)

find_package(onnxruntime CONFIG QUIET)
if(TARGET onnxruntime::onnxruntime)
  if(NOT TARGET OnnxRuntime::OnnxRuntime)
    add_library(OnnxRuntime::OnnxRuntime INTERFACE IMPORTED)
    target_link_libraries(OnnxRuntime::OnnxRuntime INTERFACE onnxruntime::onnxruntime)
  endif()
  set(OnnxRuntime_SOURCE "system (${onnxruntime_DIR})")
  find_package_handle_standard_args(OnnxRuntime REQUIRED_VARS OnnxRuntime_SOURCE)
  return()
endif()

find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
  PATHS /usr/include/onnxruntime /usr/local/include/onnxruntime
  NO_DEFAULT_PATH)
find_library(OnnxRuntime_LIBRARY NAMES onnxruntime
  PATHS /usr/lib/x86_64-linux-gnu /usr/local/lib
  NO_DEFAULT_PATH)
if(NOT OnnxRuntime_INCLUDE_DIR OR NOT OnnxRuntime_LIBRARY)
  unset(OnnxRuntime_INCLUDE_DIR CACHE)
  unset(OnnxRuntime_LIBRARY CACHE)
  find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h
    PATHS "${DIALVANE_THIRD_PARTY}/onnxruntime/include" NO_DEFAULT_PATH)
  # The npm package ships only the versioned file name.
  find_library(OnnxRuntime_LIBRARY NAMES libonnxruntime.so.1 onnxruntime
    PATHS "${DIALVANE_THIRD_PARTY}/onnxruntime/lib" NO_DEFAULT_PATH)
endif()

find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "run scripts/setup-deps first")

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::OnnxRuntime)
  add_library(OnnxRuntime::OnnxRuntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::OnnxRuntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    IMPORTED_NO_SONAME FALSE
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
endif()
