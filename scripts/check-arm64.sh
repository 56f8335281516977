#!/usr/bin/env bash
# Cross-builds le_core for aarch64 and runs its unit tests under
# qemu-aarch64-static on several emulated processors, so that every Arm target
# compiled into the vector kernel families is dispatched at least once.
#   scripts/check-arm64.sh [--kernels] [BUILD_DIR] [CPU ...]
# --kernels builds and runs only the kernel test executables (what CI runs).
# Default CPUs: every model below. Run scripts/install-deps.sh --arm64 first.
set -euo pipefail
cd "$(dirname "$0")/.."

kernels_only=0
if [ "${1:-}" = "--kernels" ]; then kernels_only=1; shift; fi
build=${1:-build-arm64}
[ $# -gt 0 ] && shift
# The target each model must dispatch to with Highway 1.0.3 and this target set.
# max defaults to 512-bit SVE2; the vector-length variants reach the fixed-size
# targets; a64fx has SVE without SVE2; cortex-a72 has Advanced SIMD only.
declare -A expect=(
  [max]=SVE2
  [max,sve-default-vector-length=16]=SVE2_128
  [max,sve-default-vector-length=32]=SVE_256
  [a64fx]=SVE
  [cortex-a72]=NEON
)
cpus=("$@")
[ ${#cpus[@]} -gt 0 ] || cpus=(max max,sve-default-vector-length=16 max,sve-default-vector-length=32
                                a64fx cortex-a72)
jobs=${JOBS:-$(nproc)}

qemu=$(command -v qemu-aarch64-static) ||
  { echo "check-arm64: qemu-aarch64-static missing: run scripts/install-deps.sh --arm64" >&2; exit 1; }
# The multiarch libc6:arm64 supplies loader and libc together; a prefix of
# /usr/aarch64-linux-gnu would pair the cross package's loader with the
# multiarch libc, which hangs in the first pthread_create.
unset QEMU_LD_PREFIX

# The per-target kernel tests (tests/*/*_simd_test.cc): every compiled target
# against a scalar reference, plus the dispatch check. Their executables load
# no onnxruntime, so they run on every emulated processor.
kernel_exes=(test_runtime_simd test_driver_simd test_paste_simd test_render_simd)

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
      -DLE_WERROR=ON ${LE_ARM64_CMAKE_FLAGS:-}
if [ "$kernels_only" = 1 ]; then
  cmake --build "$build" -j "$jobs" --target "${kernel_exes[@]}"
else
  cmake --build "$build" -j "$jobs" --target unit-tests ort_probe le-resolve le-render
  mapfile -t exes < <(cd "$build/tests" && ls test_*_unit test_*_simd)
fi

# True when the executable loads onnxruntime, directly or through lible_core.
loads_ort() {
  readelf -d "$1" | grep -qE '\(NEEDED\).*(libonnxruntime|lible_core)'
}
for exe in "${kernel_exes[@]}"; do
  if loads_ort "$build/tests/$exe"; then
    echo "check-arm64: $exe loads onnxruntime; the kernel tests must not" >&2; exit 1
  fi
done

# Threadsafe death tests re-execute the test binary; without a binfmt_misc
# entry for aarch64 the host kernel cannot exec it ("Exec format error").
emu_skip='PasteTest.ExecutorLineIsPrintedOnceOnTheFirstComposite'
emu_skip_reason='threadsafe death test re-executes the aarch64 binary, which the host cannot exec'

# Runs one test executable under the given processor model; the output is kept
# and shown only on failure.
failed=()
run() {
  local cpu=$1 exe=$2; shift 2
  local log="$build/arm64-logs/${cpu//[,=]/_}-$exe.log"
  mkdir -p "$build/arm64-logs"
  if QEMU_CPU=$cpu "$qemu" "$build/tests/$exe" "$@" >"$log" 2>&1; then
    echo "  $exe: $(grep -E '^\[  PASSED  \]' "$log" | sed 's/^\[  PASSED  \] //')"
  else
    echo "  $exe: FAILED (log: $log)"; tail -n 40 "$log"; failed+=("$cpu $exe")
  fi
}

# The fp16 engine's crop-256 render on this host (checked there against
# onnxruntime) is the reference each emulated processor's render must meet.
host=${LE_HOST_BUILD:-build}
ref="$build/conv-reference"
rm -rf "$ref"
if [ -f "$host/build.ninja" ] &&
   cmake --build "$host" -j "$jobs" --target test_render_integration >"$build/conv-reference.log" 2>&1 &&
   LE_CONV_REFERENCE="$ref" "$host/tests/test_render_integration" \
     --gtest_filter='ConvEngineOrt.EveryStageMatches' >>"$build/conv-reference.log" 2>&1; then
  export LE_CONV_REFERENCE="$ref"
  echo "== fp16 engine: the crop-256 render of $host is the reference of the emulated ones"
else
  echo "== fp16 engine: no host render from $host (log: $build/conv-reference.log); the emulated render comparison is skipped"
fi

start=$(date +%s)
ort_ok=1
declare -A seen=()
for cpu in "${cpus[@]}"; do
  echo "== -cpu $cpu"
  # The dispatch test prints the chosen target and what the model offers.
  line=$(QEMU_CPU=$cpu "$qemu" "$build/tests/test_runtime_simd" --gtest_filter='SimdTarget.*' |
         grep -E '^\[ *target *\]' || true)
  echo "  ${line:-no target line printed}"
  got=$(sed -n 's/.*dispatched to \([A-Z0-9_]*\).*/\1/p' <<<"$line")
  if [ -n "${expect[$cpu]:-}" ] && [ "$got" != "${expect[$cpu]}" ]; then
    echo "  expected ${expect[$cpu]}, dispatched to ${got:-nothing}"; failed+=("$cpu dispatch")
  fi
  [ -n "$got" ] && seen[$got]=1
  # The first model runs every unit test, the others only the per-target
  # kernel tests. Executables that load onnxruntime run only where a program
  # that just starts onnxruntime survives this emulator.
  if [ "$cpu" = "${cpus[0]}" ] && [ "$kernels_only" = 0 ]; then
    if QEMU_CPU=$cpu "$qemu" "$build/tests/ort_probe" >"$build/arm64-probe.log" 2>&1; then
      ort_ok=1; echo "  $(tail -n 1 "$build/arm64-probe.log")"
    else
      ort_ok=0
      echo "  onnxruntime does not start under -cpu $cpu on this host ($(tail -n 1 "$build/arm64-probe.log")):"
      echo "  executables that load it are left out"
    fi
    echo "  skipped under emulation: $emu_skip ($emu_skip_reason)"
    for exe in "${exes[@]}"; do
      if [ "$ort_ok" = 0 ] && loads_ort "$build/tests/$exe"; then
        echo "  $exe: left out (loads onnxruntime)"; continue
      fi
      run "$cpu" "$exe" --gtest_filter="-$emu_skip"
    done
  else
    for exe in "${kernel_exes[@]}"; do run "$cpu" "$exe"; done
  fi
done
if [ "$kernels_only" = 0 ] && [ "$ort_ok" = 0 ]; then
  echo "== le-resolve and le-render left out: they load onnxruntime through lible_core"
elif [ "$kernels_only" = 0 ]; then
  echo "== le-resolve under -cpu ${cpus[0]} on a fixture container"
  demo="$build/arm64-demo"
  rm -rf "$demo" && mkdir -p "$demo"
  PYTHONPATH=tests/fixtures /usr/bin/python3 -m lefix bundle --imx --out "$demo/sample.imx" >/dev/null
  if QEMU_CPU=${cpus[0]} "$qemu" "$build/tools/le-resolve" "$demo/sample.imx" >"$demo/out.txt" 2>&1 &&
     grep -q '^  manifest.json' "$demo/out.txt"; then
    echo "  le-resolve: $(grep -m 1 '^bundle' "$demo/out.txt")"
  else
    echo "  le-resolve: FAILED"; cat "$demo/out.txt"; failed+=("le-resolve")
  fi
  # The renderer's command line starts and answers under emulation; rendering
  # itself is covered by the unit tests above (emulated onnxruntime is slow).
  if QEMU_CPU=${cpus[0]} "$qemu" "$build/tools/le-render" --help >"$demo/render.txt" 2>&1 &&
     grep -q 'le-render' "$demo/render.txt"; then
    echo "  le-render: $(head -n 1 "$demo/render.txt")"
  else
    echo "  le-render: FAILED"; cat "$demo/render.txt"; failed+=("le-render")
  fi
fi

echo "check-arm64: dispatched targets: ${!seen[*]} ($(( $(date +%s) - start )) s emulated)"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'check-arm64: FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "check-arm64: ok"
