#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan+UBSan) and runs
# each for a number of seconds, two at a time, starting from the seed corpus
# in fuzz/corpus/<target>/ (copied to a work folder; the seeds stay as they
# are). Any crash, leak, time-out or sanitizer report fails the script; the
# input that caused it is kept in the work folder and its path printed.
#
# Usage: scripts/fuzz.sh [seconds per target (60)] [targets...]
# Environment: KS_FUZZ_BUILD_DIR (build/fuzz), KS_FUZZ_WORK_DIR
# (<build>/work), KS_FUZZ_JOBS (2 targets at a time), KS_FUZZ_NICE (0).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
all_targets=(frame_parse content_length frame_cutter uri cmdline property_map cistern)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi
build="${KS_FUZZ_BUILD_DIR:-$root/build/fuzz}"
work="${KS_FUZZ_WORK_DIR:-$build/work}"
jobs="${KS_FUZZ_JOBS:-2}"
nice_level="${KS_FUZZ_NICE:-0}"

"$root/scripts/deps.sh" clang libclang-rt-14-dev
cmake --preset fuzz -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

run_one() {
  local t="$1" dir="$work/$1"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp -n "$root/fuzz/corpus/$t/"* "$dir/corpus/" 2>/dev/null || true
  nice -n "$nice_level" "$build/fuzz/fuzz_$t" "$dir/corpus" \
    -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/" >"$dir/last.log" 2>&1
}

failed=0
running=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
for i in "${!pids[@]}"; do
  t="${names[$i]}"
  if wait "${pids[$i]}"; then rc=0; else rc=$?; fi
  log="$work/$t/last.log"
  runs="$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)"
  if [ "$rc" -eq 0 ] && ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|fuzz property violated' "$log"; then
    echo "fuzz_$t: ok (${runs:-no count})"
  else
    failed=1
    echo "fuzz_$t: FAILED (exit $rc); log $log"
    grep -E 'ERROR|runtime error|property violated|Test unit written' "$log" | head -10 || true
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target reported a crash, leak or sanitizer error"
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
