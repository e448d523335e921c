#!/usr/bin/env bash
# Checks the package the ways another project uses it:
#   - installs the static library (from the test build), its public headers,
#     CMake package, pkg-config file and programs into a temporary prefix,
#     and fails when a header outside the public list is installed or a
#     public header does not compile on its own;
#   - builds a shared library (BUILD_SHARED_LIBS=ON) and installs it into a
#     second prefix;
#   - builds examples/ksstomp_example.cpp against both prefixes with
#     find_package and with pkg-config, and once more in a project that adds
#     this one with add_subdirectory (which must not build tests or
#     benchmarks);
#   - links the static library into a shared object;
#   - runs every example against the installed Cistern on a free port.
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

echo "== Package: static library, installed into $prefix"
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

echo "== Package: only the public headers are installed, and each compiles alone"
public="$(sed -n '/^set(KS_PUBLIC_HEADERS/,/)/p' "$root/CMakeLists.txt" | tr ' ()' '\n\n\n' | grep '\.hpp$' | sort)"
installed="$(cd "$prefix/include/ksstomp" && find . -name '*.hpp' | sed 's|^\./||' | sort)"
if [ "$public" != "$installed" ]; then
  echo "check-package: the installed headers are not the public list:" >&2
  diff <(echo "$public") <(echo "$installed") >&2 || true
  exit 1
fi
for header in $public; do
  echo "#include <ksstomp/$header>" |
    c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
    { echo "check-package: <ksstomp/$header> does not compile on its own" >&2; exit 1; }
done

echo "== Package: shared library, installed into $work/shared"
cmake -S "$root" -B "$work/build-shared" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_SHARED_LIBS=ON \
  -DKS_BUILD_TESTS=OFF -DKS_BUILD_BENCH=OFF >/dev/null
cmake --build "$work/build-shared" -j"$(nproc)" --target ksstomp Spigot Siphon Cistern >/dev/null
cmake --install "$work/build-shared" --prefix "$work/shared" >/dev/null
sharedlib="$(find "$work/shared" -name 'libksstomp.so.*' -type f -print -quit)"
[ -n "$sharedlib" ] || { echo "check-package: no shared library was installed" >&2; exit 1; }
readelf -d "$sharedlib" | grep -q 'SONAME.*libksstomp\.so\.' ||
  { echo "check-package: the shared library has no versioned SONAME" >&2; exit 1; }
sharedlibdir="$(dirname "$sharedlib")"

examples=()
for kind in static shared; do
  if [ "$kind" = static ]; then p="$prefix"; l="$libdir"; else p="$work/shared"; l="$sharedlibdir"; fi
  echo "== Package: example with find_package ($kind)"
  cmake -S "$root/examples" -B "$work/example-cmake-$kind" -G Ninja -DCMAKE_PREFIX_PATH="$p" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
  cmake --build "$work/example-cmake-$kind" >/dev/null
  examples+=("$work/example-cmake-$kind/ksstomp_example")
  echo "== Package: example with pkg-config ($kind)"
  flags="$(PKG_CONFIG_PATH="$l/pkgconfig" pkg-config --cflags --libs ksstomp)"
  # shellcheck disable=SC2086
  c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$root/examples/ksstomp_example.cpp" $flags \
    -Wl,-rpath,"$l" -o "$work/example-pkgconfig-$kind"
  examples+=("$work/example-pkgconfig-$kind")
done

echo "== Package: example in a project that adds ksstomp with add_subdirectory"
mkdir -p "$work/sub"
{
  echo 'cmake_minimum_required(VERSION 3.25)'
  echo 'project(ksstomp_consumer LANGUAGES CXX)'
  echo "add_subdirectory(\"$root\" ksstomp)"
  echo 'if(TARGET ks_testsupport OR TARGET ks_e2ebench)'
  echo '  message(FATAL_ERROR "a project that adds ksstomp builds its tests or benchmarks")'
  echo 'endif()'
  echo "add_executable(ksstomp_example \"$root/examples/ksstomp_example.cpp\")"
  echo 'target_link_libraries(ksstomp_example PRIVATE ksstomp::ksstomp)'
} >"$work/sub/CMakeLists.txt"
cmake -S "$work/sub" -B "$work/sub/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$work/sub/build" -j"$(nproc)" --target ksstomp_example >/dev/null
examples+=("$work/sub/build/ksstomp_example")

echo "== Package: the static library links into a shared object"
{
  echo '#include <ksstomp/jms/KsJMSConnectionFactory.hpp>'
  echo 'extern "C" int plugin_entry() {'
  echo '  ks::TKsJMSConnectionFactory factory("", "", "stomp://localhost:61613");'
  echo '  return factory.GetBrokerURL().empty() ? 1 : 0;'
  echo '}'
} >"$work/plugin.cpp"
flags="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs ksstomp)"
# shellcheck disable=SC2086
c++ -std=c++20 -shared -fPIC "$work/plugin.cpp" $flags -o "$work/libplugin.so" ||
  { echo "check-package: the static library cannot be linked into a shared object" >&2; exit 1; }

echo "== Package: run every example against the installed Cistern"
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

for example in "${examples[@]}"; do
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
