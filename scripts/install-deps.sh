#!/usr/bin/env bash
# Provisions everything le_core needs on a Debian 12 machine. Idempotent and
# non-interactive: installs only what is missing, downloads onnxruntime only
# when its cache is incomplete.
#   scripts/install-deps.sh          build, test and fixture dependencies, and what
#                                    `make python` needs (venv, setuptools, pytest)
#   scripts/install-deps.sh --bench  also the benchmark peers
#   scripts/install-deps.sh --arm64  also the aarch64 cross build: cross compiler,
#                                    qemu, the :arm64 libraries, onnxruntime for arm64
set -euo pipefail

want_bench=0
want_arm64=0
for a in "$@"; do
  case "$a" in
    --bench) want_bench=1 ;;
    --arm64) want_arm64=1 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "install-deps: unknown option '$a'" >&2; exit 2 ;;
  esac
done

pkgs=(cmake ninja-build g++ pkg-config make libavformat-dev libavcodec-dev libswscale-dev libswresample-dev
      libavutil-dev libhwy-dev libstb-dev libgtest-dev ffmpeg python3-onnx python3-numpy
      ca-certificates espeak-ng libcurl4-openssl-dev rapidjson-dev locales
      python3-pytest python3-setuptools python3-wheel python3-venv
      nlohmann-json3-dev  # nlohmann-json3-dev: JSON documents in tests only
      libcpp-httplib-dev libturbojpeg0-dev  # le-live --serve: HTTP server, JPEG frames
      chromium chromium-driver python3-selenium)  # the live page's browser test
# npm may come from a nodejs package that bundles it; Debian's npm conflicts with that.
command -v npm >/dev/null 2>&1 || pkgs+=(npm)
[ "$want_bench" = 1 ] && pkgs+=(libbenchmark-dev libopencv-dev libyuv-dev nlohmann-json3-dev)
# Multiarch: the :arm64 development packages sit beside the native ones (same
# versions, so apt may upgrade a native package to match).
arm64_pkgs=(g++-aarch64-linux-gnu qemu-user-static libavformat-dev:arm64 libavcodec-dev:arm64
            libswscale-dev:arm64 libswresample-dev:arm64 libavutil-dev:arm64 libhwy-dev:arm64 libgtest-dev:arm64
            libcurl4-openssl-dev:arm64)
if [ "$want_arm64" = 1 ]; then
  pkgs+=("${arm64_pkgs[@]}")
fi

missing=()
for p in "${pkgs[@]}"; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$st" = "install ok installed" ] || missing+=("$p")
done
sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  if [ "$want_arm64" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
  fi
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# onnxruntime: the official CPU build, taken from npm packages (pinned) because
# Debian 12 does not package it.
ORT_VERSION=1.29.0
cache="${LE_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/le_core}/onnxruntime-$ORT_VERSION"
arch=$(uname -m)
ort_ok() {
  [ -f "$cache/include/onnxruntime_cxx_api.h" ] && [ -f "$cache/include/onnxruntime_c_api.h" ] &&
  [ -f "$cache/lib/libonnxruntime.so.1" ] &&
  /usr/bin/python3 -c "import ctypes,sys; ctypes.CDLL(sys.argv[1])" "$cache/lib/libonnxruntime.so.1" 2>/dev/null
}
if ! ort_ok; then
  echo "install-deps: provisioning onnxruntime $ORT_VERSION into $cache"
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  mkdir -p "$cache/include" "$cache/lib"
  (cd "$work" && npm pack --silent com.github.asus4.onnxruntime@0.4.9 >/dev/null)
  mkdir -p "$work/a" && tar -xzf "$work"/com.github.asus4.onnxruntime-0.4.9.tgz -C "$work/a"
  hdr="$work/a/package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64_x86_64-simulator/onnxruntime.framework/Headers"
  cp "$hdr"/*.h "$cache/include/"
  case "$arch" in
    x86_64)
      cp "$work/a/package/Plugins/Linux/x64/libonnxruntime.so" "$cache/lib/libonnxruntime.so.1" ;;
    aarch64)
      (cd "$work" && npm pack --silent onnxruntime-node@1.30.0 >/dev/null)
      mkdir -p "$work/b" && tar -xzf "$work"/onnxruntime-node-1.30.0.tgz -C "$work/b"
      cp "$work/b/package/bin/napi-v6/linux/arm64/libonnxruntime.so.1" "$cache/lib/libonnxruntime.so.1" ;;
    *) echo "install-deps: no onnxruntime build for $arch" >&2; exit 1 ;;
  esac
  ln -sf libonnxruntime.so.1 "$cache/lib/libonnxruntime.so"
  ort_ok || { echo "install-deps: onnxruntime in $cache is incomplete or does not load" >&2; exit 1; }
fi

# The aarch64 library for cross builds, in its own cache beside the native one.
# The headers are architecture-independent: copied from the native cache. The
# library cannot be loaded here, so it is checked by its ELF header instead.
if [ "$want_arm64" = 1 ]; then
  cache_arm64="$cache-arm64"
  is_arm64_elf() {
    /usr/bin/python3 - "$1" <<'PY' 2>/dev/null
import sys
h = open(sys.argv[1], "rb").read(20)
# ELF, 64-bit, little-endian, e_machine 183 (EM_AARCH64)
sys.exit(0 if h[:4] == b"\x7fELF" and h[4] == 2 and h[5] == 1 and h[18:20] == (183).to_bytes(2, "little") else 1)
PY
  }
  ort_arm64_ok() {
    [ -f "$cache_arm64/include/onnxruntime_cxx_api.h" ] &&
    [ -f "$cache_arm64/include/onnxruntime_c_api.h" ] &&
    [ -f "$cache_arm64/lib/libonnxruntime.so.1" ] && is_arm64_elf "$cache_arm64/lib/libonnxruntime.so.1"
  }
  if ! ort_arm64_ok; then
    echo "install-deps: provisioning onnxruntime for aarch64 into $cache_arm64"
    work_arm64=$(mktemp -d); trap 'rm -rf "${work:-}" "$work_arm64"' EXIT
    mkdir -p "$cache_arm64/include" "$cache_arm64/lib"
    cp "$cache/include"/*.h "$cache_arm64/include/"
    (cd "$work_arm64" && npm pack --silent onnxruntime-node@1.30.0 >/dev/null)
    mkdir -p "$work_arm64/b" && tar -xzf "$work_arm64"/onnxruntime-node-1.30.0.tgz -C "$work_arm64/b"
    cp "$work_arm64/b/package/bin/napi-v6/linux/arm64/libonnxruntime.so.1" "$cache_arm64/lib/libonnxruntime.so.1"
    ln -sf libonnxruntime.so.1 "$cache_arm64/lib/libonnxruntime.so"
    ort_arm64_ok || { echo "install-deps: onnxruntime in $cache_arm64 is incomplete or not aarch64" >&2; exit 1; }
  fi
  echo "install-deps: ok (aarch64 onnxruntime in $cache_arm64)"
fi
echo "install-deps: ok (onnxruntime in $cache)"
