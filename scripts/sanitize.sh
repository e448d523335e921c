#!/usr/bin/env bash
# Builds the library, programs, broker and tests under AddressSanitizer +
# UndefinedBehaviorSanitizer (preset "asan") and runs the unit and e2e
# labels; then builds under ThreadSanitizer (preset "tsan") and runs the
# threaded suites: the worker thread, the TCP stream, the transport adapters
# (TCP and TLS) and their reader thread, the messaging layer (listener, start/stop, close
# while receiving), the fault matrix, and the programs stopped by signals. Any
# sanitizer report fails: the
# runtimes abort the reporting process, and the logs are searched as well.
#
# Usage: scripts/sanitize.sh [asan|tsan|all (default)]
# Environment: KS_ASAN_BUILD_DIR (build/asan), KS_TSAN_BUILD_DIR (build/tsan).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
which="${1:-all}"
"$root/scripts/deps.sh"
jobs="$(nproc)"
status=0

# Suites that start threads (reader thread, listener delivery, start/stop,
# disconnect while receiving, the programs' signal thread), as ctest name
# patterns.
tsan_suites='^(support|net|stomp|jms|faults)\.|^e2e\.Operator\.'

scan() {  # scan LOG: fails when a sanitizer wrote a report into it
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer' "$1"; then
    echo "sanitize: report found in $1:"
    grep -E -A3 'ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|WARNING: ThreadSanitizer' "$1" | head -40
    return 1
  fi
}

if [ "$which" = asan ] || [ "$which" = all ]; then
  build="${KS_ASAN_BUILD_DIR:-$root/build/asan}"
  echo "== ASan+UBSan: unit and e2e"
  cmake --preset asan -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j"$jobs"
  log="$build/sanitize.log"
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  (cd "$build" && ctest --output-on-failure -j"$jobs" -L 'unit|e2e') 2>&1 | tee "$log" || status=1
  scan "$log" || status=1
fi

if [ "$which" = tsan ] || [ "$which" = all ]; then
  build="${KS_TSAN_BUILD_DIR:-$root/build/tsan}"
  echo "== TSan: threaded suites"
  cmake --preset tsan -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j"$jobs"
  log="$build/sanitize.log"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  (cd "$build" && ctest --output-on-failure -j"$jobs" -R "$tsan_suites" -LE interop) 2>&1 | tee "$log" || status=1
  scan "$log" || status=1
fi

exit "$status"
