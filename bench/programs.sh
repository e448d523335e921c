#!/bin/sh
# Whole programs against the client without a library: Spigot publishing N
# messages into a fresh Cistern, beside the raw client (one send per frame,
# TCP_NODELAY) doing the same, wall clock from process start to exit, median
# of R runs that take turns. With a second build directory its Spigot runs
# in the same rounds as "before", so that a change is measured against the
# build before it at the same time.
#
#   bench/programs.sh [BUILD_DIR] [N] [R] [BASELINE_BUILD_DIR]
#                                       (defaults: build, 100000, 7, none)
#
# Cistern runs on the last CPU, the clients on the first (as ks_e2ebench
# --Pin=1 places them), each run against a Cistern of its own. Prints one
# line per client: median seconds, messages per second, and the ratio to
# the raw client.
set -eu

BUILD=${1:-build}
N=${2:-100000}
R=${3:-7}
BASE=${4:-}
for exe in "$BUILD/tools/Spigot" "$BUILD/broker/Cistern" "$BUILD/bench/ks_e2ebench"; do
  if [ ! -x "$exe" ]; then
    echo "programs.sh: $exe not found (build Spigot, Cistern and ks_e2ebench)" >&2
    exit 1
  fi
done
LAST=$(($(nproc) - 1))
pin() {
  cpu=$1
  shift
  if command -v taskset >/dev/null 2>&1; then taskset -c "$cpu" "$@"; else "$@"; fi
}
TMP=$(mktemp -d)
cistern=""
trap '[ -n "$cistern" ] && kill "$cistern" 2>/dev/null; rm -rf "$TMP"' EXIT

# start_cistern: a fresh broker on a free port; sets $port and $cistern.
start_cistern() {
  : >"$TMP/cistern"
  pin "$LAST" "$BUILD/broker/Cistern" --Port=0 >"$TMP/cistern" 2>&1 &
  cistern=$!
  port=""
  for _ in $(seq 1 100); do
    port=$(sed -n 's/.*listening on [^ ]*:\([0-9][0-9]*\).*/\1/p' "$TMP/cistern" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "programs.sh: Cistern did not say its port: $(cat "$TMP/cistern")" >&2
    exit 1
  fi
}

stop_cistern() {
  kill "$cistern" 2>/dev/null || true
  wait "$cistern" 2>/dev/null || true
  cistern=""
}

# run LABEL [BUILD]: one timed run of the raw client (LABEL raw) or of
# BUILD's Spigot against a fresh Cistern, microseconds appended to
# $TMP/LABEL.
run() {
  label=$1
  start_cistern
  begin=$(date +%s%N)
  if [ "$label" = raw ]; then
    set -- "$BUILD/bench/ks_e2ebench" --Role=client --Client=raw --Work=produce --Port="$port" --Count="$N"
  else
    set -- "$2/tools/Spigot" --URL="stomp://127.0.0.1:$port" --MessageCount="$N" --Verbose=false
  fi
  if ! pin 0 "$@" </dev/null >"$TMP/out" 2>&1; then
    echo "programs.sh: $label failed: $(tail -n 3 "$TMP/out")" >&2
    exit 1
  fi
  end=$(date +%s%N)
  stop_cistern
  echo "$(( (end - begin) / 1000 ))" >>"$TMP/$label"
}

i=0
while [ "$i" -lt "$R" ]; do
  run raw
  run spigot "$BUILD"
  if [ -n "$BASE" ]; then run before "$BASE"; fi
  i=$((i + 1))
done

median() { sort -n "$TMP/$1" | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
rawUs=$(median raw)
echo "whole programs into Cistern, N=$N, median of $R runs taking turns (microseconds from start to exit)"
printf '%-10s %12s %12s %8s\n' client seconds msgs/s /raw
for label in raw spigot before; do
  [ -f "$TMP/$label" ] || continue
  us=$(median "$label")
  awk -v l="$label" -v us="$us" -v n="$N" -v raw="$rawUs" \
    'BEGIN {printf "%-10s %12.3f %12.0f %8.2f\n", l, us / 1e6, n / (us / 1e6), raw / us}'
done
