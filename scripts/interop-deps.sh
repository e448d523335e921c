#!/usr/bin/env bash
# Makes sure the third-party peers of the interop suite are present: the
# ActiveMQ broker (Debian package `activemq`, which brings its own JRE), the
# RabbitMQ broker (`rabbitmq-server`, whose STOMP plugin is bundled) and the
# Python STOMP client (`python3-stomp`, run with /usr/bin/python3).
# As root, missing packages are installed with apt-get.
#
# Exit status 0 when every peer is there (afterwards); 1 otherwise, after
# naming the missing packages and the apt-get line that installs them on
# standard error. Whether that is fatal is the caller's choice: scripts/test
# goes on (the interop cases then skip, saying why) unless CI=true.
# Usage: scripts/interop-deps.sh
set -u

# The packages whose peer cannot be used here, one per line.
missing() {
  [ -f /usr/share/activemq/bin/activemq.jar ] || echo activemq
  [ -x /usr/bin/java ] || echo default-jre-headless
  [ -x /usr/lib/rabbitmq/bin/rabbitmq-server ] || echo rabbitmq-server
  # -P and cd /: the repository's own stomp/ folder must not pass for the module.
  (cd / && /usr/bin/python3 -P -c 'import stomp; stomp.Connection10' >/dev/null 2>&1) || echo python3-stomp
}

mapfile -t need < <(missing)
if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

fail() {  # fail REASON
  echo "interop peers missing (${need[*]}): $1" >&2
  echo "install them with: sudo apt-get install -y ${need[*]}" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] || fail "not running as root, not installing"
command -v apt-get >/dev/null 2>&1 || fail "apt-get is not available"

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
  tail -n 5 "$log" >&2
  rm -f "$log"
  fail "apt-get install failed"
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
mapfile -t need < <(missing)
[ ${#need[@]} -eq 0 ] || fail "still not usable after apt-get install"
exit 0
