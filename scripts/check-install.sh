#!/usr/bin/env bash
# Installs a configured build into a scratch prefix and builds a small host
# program against it twice: through find_package(le_core) and through
# pkg-config. Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: check-install.sh BUILD_DIR}
src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir=$(ls -d "$tmp"/prefix/lib*/ | head -n1)

cmake -S "$src/tests/install" -B "$tmp/cm" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cm" >/dev/null
"$tmp/cm/consumer"

PKG_CONFIG_PATH="$libdir/pkgconfig" cc -o "$tmp/pc" "$src/tests/install/consumer.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs le_core) -Wl,-rpath,"$libdir"
"$tmp/pc"
# The installed tools run from the prefix alone: no LD_LIBRARY_PATH, and the
# build machine's onnxruntime cache out of sight.
for tool in le-render le-live le-resolve; do
  env -u LD_LIBRARY_PATH HOME="$tmp" "$tmp/prefix/bin/$tool" --version >/dev/null
done
if ldd "$tmp/prefix/bin/le-render" | grep -q 'onnxruntime.*\.cache'; then
  echo "check-install: le-render still loads onnxruntime from the build machine's cache" >&2
  exit 1
fi
echo "check-install: find_package and pkg-config consumers run, the installed tools start"
