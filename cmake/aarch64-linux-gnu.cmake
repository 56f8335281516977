# Cross build for 64-bit Arm Linux on a Debian host with multiarch :arm64
# packages (scripts/install-deps.sh --arm64). Use:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Executables run under qemu-aarch64-static; pick the emulated processor with
# QEMU_CPU (e.g. QEMU_CPU=a64fx).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(LE_CROSS_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${LE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LE_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${LE_CROSS_TRIPLE})

# Multiarch keeps the target's libraries under /usr/lib/aarch64-linux-gnu and
# shares /usr/include with the host, so the search stays rooted at / and only
# the library architecture tells the two apart. The C library and its loader
# live under /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/${LE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must see only the target's .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LE_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# onnxruntime for aarch64 sits in its own cache beside the host's.
set(LE_ORT_CACHE_SUFFIX "-arm64")

find_program(LE_QEMU_AARCH64 qemu-aarch64-static)
if(LE_QEMU_AARCH64)
  # No -L /usr/aarch64-linux-gnu: the loader there comes from the cross
  # package, the libc it would then find from the multiarch libc6:arm64, and a
  # loader and libc of different builds hang in the first pthread_create.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LE_QEMU_AARCH64})
endif()
# Listing the tests of each executable under emulation at build time would
# cost a qemu start per executable on every rebuild; list them when ctest runs.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
