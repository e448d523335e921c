#!/bin/sh
# A few-second run of every benchmark so that they cannot rot: the
# microbenchmarks with a tiny time budget and the end-to-end program with a
# tiny N. The figures are not checked; a failing run (lost messages, a client
# that cannot connect, a peer error) fails the script. The Python client is
# skipped, with a message, when python3-stomp is missing.
#
#   bench/smoke.sh [BUILD_DIR]      (default: build)
set -eu
BUILD=${1:-build}
for exe in "$BUILD/bench/ks_microbench" "$BUILD/bench/ks_e2ebench"; do
  if [ ! -x "$exe" ]; then
    echo "smoke.sh: $exe not found (configure with libbenchmark-dev installed and build it)" >&2
    exit 1
  fi
done
"$BUILD/bench/ks_microbench" --benchmark_min_time=0.01
"$BUILD/bench/ks_e2ebench" --Smoke
