#!/usr/bin/env bash
# Runs every fuzz target in DIR for FUZZ_SECONDS (default 60) each, with a
# corpus under DIR/corpus/<target>. Each target's whole log is kept in
# DIR/logs/<target>.log and what it found (crash-, leak-, timeout-, oom-
# inputs) in DIR/findings/<target>/; a table gives every target's runs,
# coverage and findings. A target gets its own scratch directory, removed
# afterwards whatever the target did. Fails when any target found something.
set -euo pipefail
dir=${1:?usage: run-fuzz.sh FUZZ_BUILD_DIR}
secs=${FUZZ_SECONDS:-60}
scratch_root=/dev/shm
[ -d "$scratch_root" ] && [ -w "$scratch_root" ] || scratch_root=${TMPDIR:-/tmp}
mkdir -p "$dir/logs"

# The last value of "<label>: N" on libFuzzer's status lines, or "-".
status_value() {
  grep -E '^#[0-9]+' "$1" | tail -n 1 | sed -n "s/.* $2: \([0-9]*\).*/\1/p" | grep . || echo -
}

rows=()
failed=()
for bin in "$dir"/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus="$dir/corpus/$name"
  findings="$dir/findings/$name"
  log="$dir/logs/$name.log"
  rm -rf "$findings"  # this run's findings only
  mkdir -p "$corpus" "$findings"
  scratch=$(mktemp -d "$scratch_root/le_fuzz_$name.XXXXXX")
  echo "== $name for ${secs}s (log: $log)"
  rc=0
  LE_FUZZ_SCRATCH="$scratch" "$bin" -max_total_time="$secs" -max_len=65536 -rss_limit_mb=4096 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || rc=$?
  rm -rf "$scratch"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(find "$findings" -type f | wc -l)
  what=$(find "$findings" -type f -printf '%f\n' | sed 's/-.*//' | sort | uniq -c |
         awk '{printf "%s%s x%s", (NR > 1 ? ", " : ""), $2, $1}')
  rows+=("$(printf '%-22s %12s %8s %8s %8s  %s' "$name" "${runs:--}" "$(status_value "$log" cov)" \
            "$(status_value "$log" ft)" "$(status_value "$log" corp | head -n 1)" \
            "$([ "$found" -gt 0 ] && echo "$what" || echo none)")")
  if [ "$rc" -ne 0 ] || [ "$found" -gt 0 ]; then
    failed+=("$name")
    echo "   $name: exit status $rc, $found finding(s); the end of its log:"
    tail -n 25 "$log" | sed 's/^/   | /'
  fi
done

printf '\n%-22s %12s %8s %8s %8s  %s\n' target runs cov ft corpus findings
printf '%s\n' "${rows[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "run-fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
