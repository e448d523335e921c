#!/usr/bin/env bash
# Load runs by hand (not in CI).
#
#   scripts/load.sh million        4 Spigot -> Cistern -> 2 Siphon on one queue
#                                  and 2 on one topic, 250 000 messages per
#                                  Spigot (1 000 000 in all), each checked to
#                                  arrive exactly once per subscriber.
#   scripts/load.sh soak [seconds] steady traffic for 600 s (or the given
#                                  time): one Spigot sending a message every
#                                  millisecond, one Siphon consuming; the
#                                  resident memory of Cistern, Spigot and Siphon
#                                  is sampled every 30 s and printed; the run
#                                  fails when a process dies, when a message
#                                  is missing, or when memory at the end is
#                                  more than 20 % (and 4 MiB) above the
#                                  first sample after warm-up.
#
# Environment: KS_BUILD_DIR (build/load), KS_LOAD_PER_SPIGOT (250000).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mode="${1:-million}"
build="${KS_BUILD_DIR:-$root/build/load}"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKS_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target Cistern Spigot Siphon ks_load_e2e_tests

case "$mode" in
  million)
    export KS_LOAD_PER_SPIGOT="${KS_LOAD_PER_SPIGOT:-250000}"
    timer=()
    if [ -x /usr/bin/time ]; then timer=(/usr/bin/time -v); fi
    "${timer[@]}" "$build/tests/ks_load_e2e_tests" --gtest_filter='Load.FourSpigots*' 2>&1 |
      grep -E '^\[|msg/s|Maximum resident|Elapsed'
    exit "${PIPESTATUS[0]}"
    ;;
  soak)
    seconds="${2:-600}"
    work="$(mktemp -d)"
    pids=()
    cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
    trap cleanup EXIT
    "$build/broker/Cistern" --Port=0 >"$work/cistern.log" 2>&1 &
    cistern=$!
    pids+=("$cistern")
    for _ in $(seq 100); do grep -q 'listening on' "$work/cistern.log" && break; sleep 0.1; done
    url="stomp://$(grep -o 'listening on .*' "$work/cistern.log" | cut -d' ' -f3)"
    count=$((seconds * 1000))
    "$build/tools/Siphon" --URL="$url" --Subject=soak --MaximumMessages=0 --ReceiveTimeOut=10000 \
      >"$work/siphon.log" 2>&1 &
    siphon=$!
    pids+=("$siphon")
    sleep 1
    (echo | "$build/tools/Spigot" --URL="$url" --Subject=soak --MessageCount="$count" --MessageSize=200 \
      --SleepTime=1 --Verbose=false >"$work/spigot.log" 2>&1) &
    spigot=$!
    pids+=("$spigot")
    rss() { awk '/VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
    spigot_pid() { pgrep -P "$spigot" -x Spigot || echo "$spigot"; }
    echo "t(s)  cistern_kB  spigot_kB  siphon_kB  received"
    first_c=0 first_s=0
    start=$(date +%s)
    while kill -0 "$spigot" 2>/dev/null; do
      t=$(( $(date +%s) - start ))
      c=$(rss "$cistern"); p=$(rss "$(spigot_pid)"); s=$(rss "$siphon")
      r=$(grep -c '^Received: ' "$work/siphon.log" || true)
      echo "$t $c $p $s $r"
      if [ "$t" -ge 60 ] && [ "$first_c" -eq 0 ]; then first_c=$c; first_s=$s; fi
      last_c=$c last_s=$s
      sleep 30
    done
    wait "$siphon" || true
    received=$(grep -c '^Received: ' "$work/siphon.log" || true)
    echo "sent $count, received $received; logs in $work"
    status=0
    [ "$received" -eq "$count" ] || { echo "soak: messages missing"; status=1; }
    for pair in "$first_c:$last_c:cistern" "$first_s:$last_s:siphon"; do
      IFS=: read -r a b name <<<"$pair"
      if [ "$a" -gt 0 ] && [ "$b" -gt $((a + a / 5)) ] && [ "$b" -gt $((a + 4096)) ]; then
        echo "soak: $name memory grew from $a kB to $b kB"
        status=1
      fi
    done
    exit "$status"
    ;;
  *)
    echo "usage: scripts/load.sh million | soak [seconds]" >&2
    exit 2
    ;;
esac
