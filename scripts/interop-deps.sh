#!/usr/bin/env bash
# Makes sure the third-party peers of the interop suite are present: the
# ActiveMQ broker (Debian package `activemq`, which brings its own JRE), the
# RabbitMQ broker (`rabbitmq-server`, whose STOMP plugin is bundled) and the
# Python STOMP client (`python3-stomp`, run with /usr/bin/python3).
# As root, missing packages are installed with apt-get. This script never
# fails: when it cannot install, it says why, and the interop cases then
# report themselves as skipped with the reason.
# Usage: scripts/interop-deps.sh
set -u

need=()
[ -f /usr/share/activemq/bin/activemq.jar ] || need+=(activemq)
[ -x /usr/lib/rabbitmq/bin/rabbitmq-server ] || need+=(rabbitmq-server)
# -P and cd /: the repository's own stomp/ folder must not pass for the module.
(cd / && /usr/bin/python3 -P -c 'import stomp; stomp.Connection' >/dev/null 2>&1) || need+=(python3-stomp)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "interop peers missing (${need[*]}), not installing: not running as root;" \
       "install them with: sudo apt-get install -y ${need[*]}" >&2
  exit 0
fi

if ! command -v apt-get >/dev/null 2>&1; then
  echo "interop peers missing (${need[*]}), not installing: apt-get is not available" >&2
  exit 0
fi

echo "Installing interop peers: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
log="$(mktemp)"
if ! apt-get update -qq >"$log" 2>&1; then
  echo "interop peers: apt-get update failed:" >&2
  tail -n 5 "$log" >&2
fi
# --no-install-recommends keeps the download small; the broker needs only
# the JRE its package depends on.
if ! apt-get install -y -qq --no-install-recommends "${need[@]}" >"$log" 2>&1; then
  echo "interop peers could not be installed (${need[*]}):" >&2
  tail -n 5 "$log" >&2
  rm -f "$log"
  exit 0
fi
rm -f "$log"
# The package ships an init script and a default instance; the suite starts
# its own brokers on free ports, so a system broker is not wanted (and would
# hold the default port 61613 that the demo uses).
# The same holds for RabbitMQ: the suite runs its own nodes.
if command -v service >/dev/null 2>&1; then
  for name in activemq rabbitmq-server; do
    [ -x /etc/init.d/$name ] && service $name stop >/dev/null 2>&1 || true
  done
fi
exit 0
