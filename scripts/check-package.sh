#!/usr/bin/env bash
# Checks the installed package the way another project would use it:
# installs the library, headers, CMake package, pkg-config file and programs
# into a temporary prefix, builds examples/ksstomp_example.cpp against that
# prefix twice (find_package and pkg-config), and runs both builds against
# the installed Cistern on a free port.
# Usage: scripts/check-package.sh   (KS_BUILD_DIR: build folder to reuse,
#                                    default build/ci, as scripts/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KS_BUILD_DIR:-$root/build/ci}"
work="$(mktemp -d /tmp/ks-package-XXXXXX)"
prefix="$work/prefix"
broker_pid=""
cleanup() {
  if [ -n "$broker_pid" ]; then kill "$broker_pid" 2>/dev/null || true; wait "$broker_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! command -v pkg-config >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkgconf >/dev/null
  else
    echo "check-package: pkg-config is missing; install it with: sudo apt-get install -y pkgconf" >&2
    exit 1
  fi
fi

echo "== Package: build and install into $prefix"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target ksstomp Spigot Siphon Cistern
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/ksstomp/jms/KsJMSInterfaces.hpp include/ksstomp/jms/KsJMSConnectionFactory.hpp \
         bin/Spigot bin/Siphon bin/Cistern; do
  [ -e "$prefix/$f" ] || { echo "check-package: $f was not installed" >&2; exit 1; }
done
libdir="$(dirname "$(find "$prefix" -name libksstomp.a -print -quit)")"
[ -f "$libdir/cmake/ksstomp/ksstompConfig.cmake" ] || { echo "check-package: no CMake package" >&2; exit 1; }
[ -f "$libdir/pkgconfig/ksstomp.pc" ] || { echo "check-package: no pkg-config file" >&2; exit 1; }

echo "== Package: example with find_package"
cmake -S "$root/examples" -B "$work/example-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$work/example-cmake"

echo "== Package: example with pkg-config"
flags="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs ksstomp)"
# shellcheck disable=SC2086
c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$root/examples/ksstomp_example.cpp" $flags \
  -o "$work/example-pkgconfig"

echo "== Package: run both against the installed Cistern"
"$prefix/bin/Cistern" --Port=0 >"$work/broker.log" 2>&1 &
broker_pid=$!
url=""
for _ in $(seq 1 200); do
  line="$(grep -m1 '^Cistern listening on ' "$work/broker.log" || true)"
  if [ -n "$line" ]; then url="stomp://${line#Cistern listening on }"; break; fi
  kill -0 "$broker_pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$url" ] || { echo "check-package: Cistern did not start:" >&2; cat "$work/broker.log" >&2; exit 1; }

for example in "$work/example-cmake/ksstomp_example" "$work/example-pkgconfig"; do
  out="$(timeout 30 "$example" "$url")" || { echo "check-package: $example failed:" >&2; echo "$out" >&2; exit 1; }
  echo "$out"
  grep -qx 'Received: Hello, synchronously' <<<"$out" &&
    grep -qx 'Listener received: Hello, through a listener' <<<"$out" ||
    { echo "check-package: unexpected output of $example" >&2; exit 1; }
done
# The installed programs run too.
timeout 30 "$prefix/bin/Spigot" "--URL=$url" --MessageCount=1 --Subject=ksstomp.check </dev/null | tail -n 1 | grep -qx 'Done.' ||
  { echo "check-package: installed Spigot did not publish" >&2; exit 1; }
echo "check-package: OK"
