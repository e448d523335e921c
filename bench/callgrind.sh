#!/bin/sh
# Instructions per message of the produce and the consume path, counted by
# callgrind: stable on a loaded machine, unlike rates.
#
#   bench/callgrind.sh [BUILD_DIR] [N] [QUERY] [failover]   (defaults: build, 20000, none)
#
# QUERY: URL parameters for the library's client, e.g.
# "acceptVersion=1.2&heartBeat=1000,1000" (the peer answers 1.2 and the
# heart-beats asked for, so that the cost of the heart-beats shows).
# failover: the library's client connects through a failover URL
# ("failover:(stomp://HOST:PORT)?QUERY"), so that the cost of failover shows.
#
# Each client (this library, and the raw-socket baseline for comparison)
# runs under valgrind --tool=callgrind twice, with N and with 2N messages,
# against a sink or firehose peer served by ks_e2ebench --Serve. The figure
# is (instructions(2N) - instructions(N)) / N: start-up, connect and close
# cancel out, and every thread of the client (the listener's reader thread
# too) is counted. The peer runs natively and is not counted.
set -eu

BUILD=${1:-build}
N=${2:-20000}
QUERY=${3:-}
FAILOVER=""
if [ "${4:-}" = failover ]; then FAILOVER="--Failover"; fi
BENCH="$BUILD/bench/ks_e2ebench"
if [ ! -x "$BENCH" ]; then
  echo "callgrind.sh: $BENCH not found (build the ks_e2ebench target first)" >&2
  exit 1
fi
if ! command -v valgrind >/dev/null 2>&1; then
  echo "callgrind.sh: valgrind is not installed (Debian: valgrind)" >&2
  exit 1
fi
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

# instructions CLIENT WORK PEER COUNT [CLIENT FLAG] -> total Ir of one client run
instructions() {
  : >"$TMP/serve"
  "$BENCH" --Serve="$3" --Count="$4" >"$TMP/serve" &
  serve=$!
  port=""
  for _ in $(seq 1 100); do
    port=$(awk '/^port /{print $2}' "$TMP/serve")
    [ -n "$port" ] && break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "callgrind.sh: the peer did not start" >&2
    kill "$serve" 2>/dev/null || true
    exit 1
  fi
  valgrind --tool=callgrind --callgrind-out-file="$TMP/out" \
    "$BENCH" --Role=client --Client="$1" --Work="$2" --Port="$port" --Count="$4" --Query="$QUERY" ${5:-} \
    >"$TMP/client" 2>"$TMP/valgrind"
  wait "$serve"
  if ! grep -q '^ok ' "$TMP/client"; then
    echo "callgrind.sh: $1 $2 failed: $(cat "$TMP/client")" >&2
    exit 1
  fi
  awk '/^(summary|totals):/{print $2; exit}' "$TMP/out"
}

echo "instructions per message (callgrind, N=$N and 2N, 255-character bodies)"
printf '%-28s %14s %14s\n' "path" "ksstomp" "raw socket"
# Rows: work, peer, label, and the flags of the library's and the raw
# client ("-" for none): batched sending beside the raw client's 64 KiB
# user-space buffer.
for row in "produce sink produce - -" "produce sink produce-batched --Batch --Buffered" \
           "receive firehose consume-Receive(1000) - -" "listen firehose consume-listener - -"; do
  set -- $row
  work=$1 peer=$2 label=$3 libFlag=$4 rawFlag=$5
  [ "$libFlag" = - ] && libFlag=""
  [ "$rawFlag" = - ] && rawFlag=""
  line=$(printf '%-28s' "$label")
  for client in ksstomp raw; do
    if [ "$client" = raw ] && [ "$work" = listen ]; then
      line="$line $(printf '%14s' '(as above)')"
      continue
    fi
    flag=$libFlag
    [ "$client" = raw ] && flag=$rawFlag
    [ "$client" = ksstomp ] && flag="$flag $FAILOVER"
    one=$(instructions "$client" "$work" "$peer" "$N" "$flag")
    two=$(instructions "$client" "$work" "$peer" $((2 * N)) "$flag")
    line="$line $(printf '%14d' $(((two - one) / N)))"
  done
  echo "$line"
done
