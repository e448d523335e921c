#!/usr/bin/env bash
# Checks the package the ways another project uses it:
#   - installs the static library (from the test build), its public headers,
#     CMake package, pkg-config file, programs, licence and README into a
#     temporary prefix, and fails when a header outside the public list is
#     installed or a public header does not compile on its own;
#   - builds a shared library (BUILD_SHARED_LIBS=ON) with the programs,
#     installs it into a second prefix, moves that prefix elsewhere and runs
#     the installed programs from there; fails when the library exports a
#     symbol of a class or function that the public headers do not offer,
#     or when KS_BUILD_BENCH=OFF still makes a benchmark;
#   - builds every program of examples/ against both prefixes with
#     find_package, the first one with pkg-config as well, and once more in
#     a project that adds this one with add_subdirectory; a second project
#     adds it with FetchContent. Both have a "docs" target of their own and
#     must get the library alone: no programs, tests, benchmarks or install
#     rules of this project;
#   - links the static library into a shared object;
#   - runs the examples against the installed Cistern on a free port (TLS
#     with a certificate authority made here, and a broker that is stopped
#     under the exception listener's example).
# Usage: scripts/check-package.sh   (KS_BUILD_DIR: build folder to reuse,
#                                    default build/ci, as scripts/test)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KS_BUILD_DIR:-$root/build/ci}"
work="$(mktemp -d /tmp/ks-package-XXXXXX)"
prefix="$work/prefix"
brokers=()
cleanup() {
  for pid in "${brokers[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

if ! command -v pkg-config >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq pkgconf >/dev/null
  else
    fail "pkg-config is missing; install it with: sudo apt-get install -y pkgconf"
  fi
fi

echo "== Package: static library, installed into $prefix"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target ksstomp Spigot Siphon Cistern
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/ksstomp/jms/KsJMSInterfaces.hpp include/ksstomp/jms/KsJMSConnectionFactory.hpp \
         bin/Spigot bin/Siphon bin/Cistern share/doc/ksstomp/LICENSE share/doc/ksstomp/README.md; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done
grep -q 'Apache License' "$prefix/share/doc/ksstomp/LICENSE" || fail "the installed LICENSE is not the Apache licence"
libdir="$(dirname "$(find "$prefix" -name libksstomp.a -print -quit)")"
[ -f "$libdir/cmake/ksstomp/ksstompConfig.cmake" ] || fail "no CMake package"
[ -f "$libdir/pkgconfig/ksstomp.pc" ] || fail "no pkg-config file"

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
    fail "<ksstomp/$header> does not compile on its own"
done

echo "== Package: shared library with the programs, installed into $work/shared and moved"
cmake -S "$root" -B "$work/build-shared" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_SHARED_LIBS=ON \
  -DKS_BUILD_BENCH=OFF >/dev/null
if cmake --build "$work/build-shared" --target help | grep -q Bench; then
  fail "KS_BUILD_BENCH=OFF still makes a benchmark"
fi
cmake --build "$work/build-shared" -j"$(nproc)" --target ksstomp Spigot Siphon Cistern >/dev/null
cmake --install "$work/build-shared" --prefix "$work/shared-first" >/dev/null
# The installed programs find the library relative to themselves, wherever
# the tree goes.
mv "$work/shared-first" "$work/shared"
sharedlib="$(find "$work/shared" -name 'libksstomp.so.*' -type f -print -quit)"
[ -n "$sharedlib" ] || fail "no shared library was installed"
readelf -d "$sharedlib" | grep -q 'SONAME.*libksstomp\.so\.' || fail "the shared library has no versioned SONAME"
sharedlibdir="$(dirname "$sharedlib")"
for program in Spigot Siphon; do
  env -u LD_LIBRARY_PATH "$work/shared/bin/$program" --help >/dev/null ||
    fail "the installed shared $program does not run from a moved prefix"
done

echo "== Package: the shared library exports only the public API"
# The public names: classes marked "class KS_API NAME" and functions whose
# declaration begins with KS_API, in the installed headers.
public_names="$(cat "$work/shared/include/ksstomp"/*/*.hpp |
  grep -oE 'class KS_API [A-Za-z_][A-Za-z0-9_]*|^(\[\[noreturn\]\] )?KS_API [^(;]*\(' |
  sed -E 's/\($//; s/.*[^A-Za-z0-9_]//' | sort -u)"
exported="$(nm -DC --defined-only "$sharedlib" | cut -d' ' -f3-)"
echo "check-package: $(wc -l <<<"$exported") symbols exported"
strays="$(awk -v names="$public_names" '
  BEGIN { n = split(names, list, "\n"); for (i = 1; i <= n; ++i) ok[list[i]] = 1 }
  {
    s = $0
    sub(/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|non-virtual thunk to|virtual thunk to|guard variable for) /, "", s)
    if (s ~ /^ks::/) {
      # A symbol of the library: its class or function must be public (the
      # parameters of a public class'"'"'s private members may be internal).
      name = substr(s, 5); sub(/[^A-Za-z0-9_].*/, "", name)
      if (!(name in ok)) print $0
    } else {
      # Anything else (a standard template over the library'"'"'s types) must
      # name public classes only.
      t = s
      while (match(t, /ks::[A-Za-z_][A-Za-z0-9_]*/)) {
        name = substr(t, RSTART + 4, RLENGTH - 4)
        if (!(name in ok)) { print $0; break }
        t = substr(t, RSTART + RLENGTH)
      }
    }
  }' <<<"$exported")"
[ -z "$strays" ] || { echo "check-package: internal symbols are exported:" >&2; echo "$strays" | head -20 >&2; exit 1; }

examples=()
build_examples() {  # build_examples PREFIX FOLDER: every example with find_package
  cmake -S "$root/examples" -B "$2" -G Ninja -DCMAKE_PREFIX_PATH="$1" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
  cmake --build "$2" -j"$(nproc)" >/dev/null
  examples+=("$2")
}
echo "== Package: examples with find_package (static)"
build_examples "$prefix" "$work/examples-static"
echo "== Package: examples with find_package (shared)"
build_examples "$work/shared" "$work/examples-shared"
for kind in static shared; do
  if [ "$kind" = static ]; then l="$libdir"; else l="$sharedlibdir"; fi
  echo "== Package: example with pkg-config ($kind)"
  flags="$(PKG_CONFIG_PATH="$l/pkgconfig" pkg-config --cflags --libs ksstomp)"
  mkdir -p "$work/pkgconfig-$kind"
  # shellcheck disable=SC2086
  c++ -std=c++20 -Wall -Wextra -Wpedantic -Werror "$root/examples/ksstomp_example.cpp" $flags \
    -Wl,-rpath,"$l" -o "$work/pkgconfig-$kind/ksstomp_example"
  examples+=("$work/pkgconfig-$kind")
done

# A project of one's own that adds ksstomp (with a "docs" target of its own).
consumer() {  # consumer FOLDER LINES...: writes FOLDER/CMakeLists.txt
  local dir="$1"; shift
  mkdir -p "$dir"
  {
    echo 'cmake_minimum_required(VERSION 3.25)'
    echo 'project(ksstomp_consumer LANGUAGES CXX)'
    echo 'add_custom_target(docs COMMAND ${CMAKE_COMMAND} -E echo "the consumer'"'"'s own documentation")'
    printf '%s\n' "$@"
    echo 'foreach(t Spigot Siphon Cistern CisternBench ks_tools cistern_core ks_testsupport ks_e2ebench ks_microbench)'
    echo '  if(TARGET ${t})'
    echo '    message(FATAL_ERROR "a project that adds ksstomp gets its target ${t}")'
    echo '  endif()'
    echo 'endforeach()'
    echo "add_executable(ksstomp_example \"$root/examples/ksstomp_example.cpp\")"
    echo 'target_link_libraries(ksstomp_example PRIVATE ksstomp::ksstomp)'
    echo 'install(TARGETS ksstomp_example)'
  } >"$dir/CMakeLists.txt"
}
echo "== Package: a project that adds ksstomp with add_subdirectory"
consumer "$work/sub" "add_subdirectory(\"$root\" ksstomp)"
cmake -S "$work/sub" -B "$work/sub/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$work/sub/build" -j"$(nproc)" >/dev/null
cmake --install "$work/sub/build" --prefix "$work/sub/prefix" >/dev/null
[ "$(cd "$work/sub/prefix" && find . -type f)" = "./bin/ksstomp_example" ] ||
  fail "installing the consumer installed more than its own program: $(cd "$work/sub/prefix" && find . -type f)"
examples+=("$work/sub/build")
echo "== Package: a project that adds ksstomp with FetchContent from a local path"
consumer "$work/fetch" 'include(FetchContent)' "FetchContent_Declare(ksstomp SOURCE_DIR \"$root\")" \
  'FetchContent_MakeAvailable(ksstomp)'
cmake -S "$work/fetch" -B "$work/fetch/build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
if grep -q 'file(INSTALL' "$work/fetch/build/_deps/ksstomp-build/cmake_install.cmake"; then
  fail "a project that adds ksstomp with FetchContent gets its install rules"
fi

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
  fail "the static library cannot be linked into a shared object"

echo "== Package: run the examples against the installed Cistern"
start_cistern() {  # start_cistern LOG OPTIONS...: sets url (and tls_url with a TLS listener)
  local log="$1"; shift
  "$prefix/bin/Cistern" --Port=0 "$@" >"$log" 2>&1 &
  brokers+=("$!")
  url=""; tls_url=""
  for _ in $(seq 1 200); do
    line="$(grep -m1 '^Cistern listening on ' "$log" || true)"
    if [ -n "$line" ]; then url="stomp://${line#Cistern listening on }"; break; fi
    sleep 0.05
  done
  [ -n "$url" ] || { cat "$log" >&2; fail "Cistern did not start"; }
  line="$(grep -m1 '^Cistern listening with TLS on ' "$log" || true)"
  if [ -n "$line" ]; then tls_url="stomp+ssl://${line#Cistern listening with TLS on }"; fi
}
expect() {  # expect PATTERN COMMAND...: runs it (30 s at most); its output must have a line matching PATTERN
  local pattern="$1"; shift
  local out
  out="$(timeout 30 "$@" 2>&1)" || { echo "$out" >&2; fail "$* failed"; }
  grep -qE "$pattern" <<<"$out" || { echo "$out" >&2; fail "unexpected output of $*"; }
}
# A certificate authority of our own and a broker certificate it signed.
tls="$work/tls"
mkdir -p "$tls"
(
  cd "$tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem \
    -days 2 -subj "/CN=ksstomp example CA" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout broker.key -out broker.csr \
    -subj "/CN=ksstomp example broker" 2>/dev/null
  echo "subjectAltName=IP:127.0.0.1,DNS:localhost" >broker.ext
  openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out broker.pem -days 2 \
    -extfile broker.ext 2>/dev/null
)
start_cistern "$work/broker.log" --TlsPort=0 --CertFile="$tls/broker.pem" --KeyFile="$tls/broker.key"
[ -n "$tls_url" ] || fail "Cistern serves no TLS"
for dir in "${examples[@]}"; do
  expect '^Received: Hello, synchronously$' "$dir/ksstomp_example" "$url"
  expect '^Listener received: Hello, through a listener$' "$dir/ksstomp_example" "$url"
  [ -x "$dir/request_reply" ] || continue
  expect '^Reply: You asked: ' "$dir/request_reply" "$url?dialect=activemq"
  expect '^Received: Published while you were away$' "$dir/durable_subscriber" "$url"
  expect '^Received over TLS: ' "$dir/tls_own_ca" "$tls_url" "$tls/ca.pem"
  # A plain port refuses the handshake: the library's error is caught by its
  # type in the program (status 1, not an abort).
  status=0
  timeout 30 "$dir/tls_own_ca" "stomp+ssl://${url#stomp://}" "$tls/ca.pem" >"$work/refused.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] && grep -q '^The JMS connection has failed' "$work/refused.out" ||
    { cat "$work/refused.out" >&2; fail "$dir/tls_own_ca did not catch the refused handshake by its type"; }
  expect '^Received 20000 messages$' "$dir/batched_send" "$url" 20000
  expect '^\[app\] TRACE ' "$dir/log_routing" "$url"
done
# The exception listener's example ends by itself when its broker goes away.
broker_url="$url"
start_cistern "$work/doomed.log"
listeners=()
for dir in "$work/examples-static" "$work/examples-shared"; do
  timeout 30 "$dir/exception_listener" "$url" >"$dir/listener.out" 2>&1 &
  listeners+=("$!")
done
for dir in "$work/examples-static" "$work/examples-shared"; do
  for _ in $(seq 1 200); do
    grep -qx 'Listening until the broker goes away' "$dir/listener.out" && break
    sleep 0.05
  done
  grep -qx 'Listening until the broker goes away' "$dir/listener.out" || fail "exception_listener did not listen"
done
kill "${brokers[-1]}"
for pid in "${listeners[@]}"; do wait "$pid" || fail "exception_listener did not end cleanly"; done
for dir in "$work/examples-static" "$work/examples-shared"; do
  grep -q '^Connection lost: ' "$dir/listener.out" || { cat "$dir/listener.out" >&2; fail "no loss reported"; }
done
# The installed programs run too, the shared ones from their moved prefix.
for p in "$prefix" "$work/shared"; do
  timeout 30 env -u LD_LIBRARY_PATH "$p/bin/Spigot" "--URL=$broker_url" --MessageCount=1 --Subject=ksstomp.check </dev/null |
    tail -n 1 | grep -qx 'Done.' || fail "installed Spigot ($p) did not publish"
done
echo "check-package: OK"
