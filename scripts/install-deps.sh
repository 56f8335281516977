#!/usr/bin/env bash
# Provisions everything le_core needs on a Debian 12 machine. Idempotent and
# non-interactive: installs only what is missing, downloads onnxruntime only
# when its cache is incomplete.
#   scripts/install-deps.sh          build, test and fixture dependencies
#   scripts/install-deps.sh --bench  also the benchmark peers
set -euo pipefail

want_bench=0
for a in "$@"; do
  case "$a" in
    --bench) want_bench=1 ;;
    -h|--help) sed -n '2,7p' "$0"; exit 0 ;;
    *) echo "install-deps: unknown option '$a'" >&2; exit 2 ;;
  esac
done

pkgs=(cmake ninja-build g++ pkg-config make libavformat-dev libavcodec-dev libswscale-dev
      libavutil-dev libhwy-dev libstb-dev libgtest-dev ffmpeg python3-onnx python3-numpy
      ca-certificates)
# npm may come from a nodejs package that bundles it; Debian's npm conflicts with that.
command -v npm >/dev/null 2>&1 || pkgs+=(npm)
[ "$want_bench" = 1 ] && pkgs+=(libbenchmark-dev libopencv-dev libyuv-dev)

missing=()
for p in "${pkgs[@]}"; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$st" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" = 0 ] || sudo=sudo
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

# The aarch64 library for cross builds is fetched on demand by the arm64 check.
echo "install-deps: ok (onnxruntime in $cache)"
