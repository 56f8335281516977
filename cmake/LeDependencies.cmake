# Locates the libraries le_core calls: FFmpeg, Highway and libcurl through pkg-config,
# stb from its header directory, onnxruntime from (in order) ONNXRUNTIME_ROOT,
# a system install, or the cache that scripts/install-deps.sh fills.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(LE_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libswscale libavutil)
# The host programs resample speech files of any format to 16 kHz mono.
pkg_check_modules(LE_SWR REQUIRED IMPORTED_TARGET libswresample)
pkg_check_modules(LE_HWY REQUIRED IMPORTED_TARGET libhwy)
# libcurl carries the telemetry batches (le/telemetry/le_tel_http.cc).
pkg_check_modules(LE_CURL REQUIRED IMPORTED_TARGET libcurl)

find_path(LE_STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb)
if(NOT LE_STB_INCLUDE_DIR)
  message(FATAL_ERROR "stb_image.h not found: run scripts/install-deps.sh")
endif()

set(ONNXRUNTIME_ROOT "" CACHE PATH "onnxruntime install prefix (include/ and lib/)")
set(LE_ORT_VERSION 1.29.0)
unset(LE_ORT_INCLUDE_DIR)
unset(LE_ORT_LIBRARY)
if(ONNXRUNTIME_ROOT)
  find_path(LE_ORT_INCLUDE_DIR onnxruntime_cxx_api.h
            PATHS ${ONNXRUNTIME_ROOT}/include ${ONNXRUNTIME_ROOT}/include/onnxruntime NO_DEFAULT_PATH)
  find_library(LE_ORT_LIBRARY NAMES onnxruntime PATHS ${ONNXRUNTIME_ROOT}/lib NO_DEFAULT_PATH)
  set(LE_ORT_FROM "ONNXRUNTIME_ROOT=${ONNXRUNTIME_ROOT}")
endif()
if(NOT LE_ORT_LIBRARY)
  pkg_check_modules(LE_ORT_PC QUIET IMPORTED_TARGET libonnxruntime)
  if(LE_ORT_PC_FOUND)
    set(LE_ORT_TARGET PkgConfig::LE_ORT_PC)
    set(LE_ORT_FROM "pkg-config libonnxruntime ${LE_ORT_PC_VERSION}")
  else()
    find_package(onnxruntime CONFIG QUIET)
    if(TARGET onnxruntime::onnxruntime)
      set(LE_ORT_TARGET onnxruntime::onnxruntime)
      set(LE_ORT_FROM "CMake package onnxruntime")
    endif()
  endif()
endif()
if(NOT LE_ORT_LIBRARY AND NOT LE_ORT_TARGET)
  if(DEFINED ENV{LE_DEPS_CACHE})
    set(_cache "$ENV{LE_DEPS_CACHE}")
  elseif(DEFINED ENV{XDG_CACHE_HOME})
    set(_cache "$ENV{XDG_CACHE_HOME}/le_core")
  else()
    set(_cache "$ENV{HOME}/.cache/le_core")
  endif()
  # A cross build names its own cache (cmake/aarch64-linux-gnu.cmake).
  set(_root "${_cache}/onnxruntime-${LE_ORT_VERSION}${LE_ORT_CACHE_SUFFIX}")
  find_path(LE_ORT_INCLUDE_DIR onnxruntime_cxx_api.h PATHS ${_root}/include NO_DEFAULT_PATH)
  find_library(LE_ORT_LIBRARY NAMES onnxruntime PATHS ${_root}/lib NO_DEFAULT_PATH)
  set(LE_ORT_FROM "${_root}")
endif()
if(LE_ORT_LIBRARY AND LE_ORT_INCLUDE_DIR)
  add_library(le_onnxruntime INTERFACE)
  target_include_directories(le_onnxruntime SYSTEM INTERFACE ${LE_ORT_INCLUDE_DIR})
  target_link_libraries(le_onnxruntime INTERFACE ${LE_ORT_LIBRARY})
  get_filename_component(_ort_libdir "${LE_ORT_LIBRARY}" DIRECTORY)
  set(LE_DEPS_RPATH "${_ort_libdir}")
  # onnxruntime from outside the system's library paths (the provisioned
  # cache or ONNXRUNTIME_ROOT) is installed beside lible_core.so.
  if(NOT _ort_libdir MATCHES "^/(usr/)?lib")
    set(LE_ORT_BUNDLED_LIBDIR "${_ort_libdir}")
  endif()
  set(LE_ORT_TARGET le_onnxruntime)
elseif(NOT LE_ORT_TARGET)
  message(FATAL_ERROR "onnxruntime not found (tried ONNXRUNTIME_ROOT, pkg-config libonnxruntime, "
                      "the onnxruntime CMake package and ${LE_ORT_FROM}): run scripts/install-deps.sh")
endif()
message(STATUS "onnxruntime: ${LE_ORT_FROM}")

add_library(le_deps INTERFACE)
target_include_directories(le_deps SYSTEM INTERFACE ${LE_STB_INCLUDE_DIR})
target_link_libraries(le_deps INTERFACE ${LE_ORT_TARGET} PkgConfig::LE_FFMPEG PkgConfig::LE_HWY
                      PkgConfig::LE_CURL
                      Threads::Threads ${CMAKE_DL_LIBS})
# The Highway target set (see le/runtime/simd_targets.h) is a build-wide
# definition: in unoptimised builds Highway's dispatch helpers are ordinary
# inline functions, merged across translation units, so a test or benchmark
# that saw a different set would corrupt the library's dispatch.
target_compile_definitions(le_deps INTERFACE HWY_WANT_AVX3_DL=1)
add_library(le::deps ALIAS le_deps)

# le-live --serve (the live page): optional; without either package the tool
# is built without it.
pkg_check_modules(LE_HTTPLIB IMPORTED_TARGET cpp-httplib)
pkg_check_modules(LE_TURBOJPEG IMPORTED_TARGET libturbojpeg)
if(LE_HTTPLIB_FOUND AND LE_TURBOJPEG_FOUND)
  set(LE_LIVE_SERVE ON)
else()
  set(LE_LIVE_SERVE OFF)
  message(STATUS "le-live: no cpp-httplib or libturbojpeg: built without --serve")
endif()
