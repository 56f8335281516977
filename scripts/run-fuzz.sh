#!/usr/bin/env bash
# Runs every fuzz target in DIR for FUZZ_SECONDS (default 60) each, with a
# corpus under DIR/corpus/<target>. Fails when a target finds a crash.
set -euo pipefail
dir=${1:?usage: run-fuzz.sh FUZZ_BUILD_DIR}
secs=${FUZZ_SECONDS:-60}
for bin in "$dir"/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="$dir/corpus/$name"; mkdir -p "$corpus"
  echo "== $name for ${secs}s"
  "$bin" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 "$corpus" 2>&1 | tail -n 3
done
