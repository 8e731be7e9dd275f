#!/bin/sh
# Walks the README's commands in order, as a new user would after a fresh
# clone, and stops at the first one that does not work as written. Servers
# are started in the background, asked for a page with curl and stopped;
# the install goes into a temporary prefix instead of /usr/local. Skipped,
# and said so: the test and fuzz commands (they have their own runs) and
# `dpkg -i` (it would change the machine).
#   tools/walk-readme.sh
set -eu
cd "$(dirname "$0")/.."
repo=$(pwd)
work=$(mktemp -d)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Each step starts with the servers of the one before stopped, so that the
# ports the README names are free again.
stop_servers() {
  for pid in $pids; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=""
}
step() {
  stop_servers
  printf '\n== %s\n' "$*"
}
skip() { printf '\n-- skipped: %s\n' "$*"; }
fail() {
  echo "walk-readme: $*" >&2
  exit 1
}

# Starts a program in the background with its output in $work/$1.log and
# waits until that output holds the pattern $2, for $3 seconds at most.
start() {
  name=$1 pattern=$2 seconds=$3
  shift 3
  "$@" >"$work/$name.log" 2>&1 &
  pids="$pids $!"
  tries=0
  until grep -q "$pattern" "$work/$name.log"; do
    tries=$((tries + 1))
    [ "$tries" -le $((seconds * 10)) ] || fail "$name never printed '$pattern':
$(cat "$work/$name.log")"
    kill -0 "$!" 2>/dev/null || fail "$name ended:
$(cat "$work/$name.log")"
    sleep 0.1
  done
}
# The port a server printed in "... port N" or "http://host:N/".
port_of() { grep -o -E '(port |:)[0-9]+' "$work/$1.log" | head -n 1 | grep -o -E '[0-9]+'; }
fetch() { curl -sS --max-time 10 -o /dev/null -w '%{http_code}' "$@"; }

step "tools/run.sh"
start demo "http://" 1800 tools/run.sh --data "$work/demo-data"
code=$(fetch "http://127.0.0.1:$(port_of demo)/")
[ "$code" = 200 ] || fail "the demo's main page answered $code"
for program in korvi-demo korvi-serve korvi-map hello_server echo_server session_counter \
  guest_book loop_page_server; do
  [ -x "build/bin/$program" ] || fail "tools/run.sh did not build build/bin/$program"
done

skip "tools/test.sh (the test command runs on its own)"
skip "tools/fuzz.sh (the fuzz command runs on its own)"

step "build/bin/korvi-demo --help"
build/bin/korvi-demo --help >/dev/null

step "build/bin/korvi-serve --root site --port 8080"
start serve "listening on port" 30 build/bin/korvi-serve --root site --port 8080
code=$(fetch "http://127.0.0.1:$(port_of serve)/")
[ "$code" = 200 ] || fail "korvi-serve answered $code"

step "a certificate for trying HTTPS out, and korvi-serve over TLS"
(cd "$work" && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
  -days 30 -subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout key.pem \
  -out cert.pem 2>/dev/null)
start serve-tls "listening on port" 30 build/bin/korvi-serve --root site --port 8443 \
  --tls-cert "$work/cert.pem" --tls-key "$work/key.pem"
code=$(fetch --cacert "$work/cert.pem" "https://localhost:$(port_of serve-tls)/")
[ "$code" = 200 ] || fail "korvi-serve over TLS answered $code"

step "korvi-map add, list, replace, delete"
(cd "$work" && "$repo/build/bin/korvi-map" add /docs "$repo/docs" &&
  "$repo/build/bin/korvi-map" list | grep -q '^/docs' &&
  "$repo/build/bin/korvi-map" replace /docs /docs "$repo/site" &&
  "$repo/build/bin/korvi-map" delete /docs) || fail "korvi-map"

step "Installing, into a temporary prefix"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_TESTS=OFF >/dev/null
cmake --build build >/dev/null
cmake --install build --prefix "$work/prefix" >/dev/null
(cd build && cpack -G DEB >/dev/null) || fail "cpack -G DEB"
skip "dpkg -i korvi_*.deb (it would change the machine)"

if command -v doxygen >/dev/null; then
  step "cmake --build build --target docs"
  cmake --build build --target docs >/dev/null
  [ -s build/docs/html/index.html ] || fail "no build/docs/html/index.html"
else
  skip "cmake --build build --target docs (doxygen is not installed)"
fi

# The README's program, taken from its text.
sed -n '/^    #include <memory>/,/^    }/p' README.md | sed 's/^    //' >"$work/my_app.cpp"
[ -s "$work/my_app.cpp" ] || fail "no program found in the README"

step "find_package(Korvi) with the README's program"
mkdir "$work/find_package"
cat >"$work/find_package/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(my_app LANGUAGES CXX)
find_package(Korvi REQUIRED)
add_executable(my_app $work/my_app.cpp)
target_link_libraries(my_app PRIVATE Korvi::korvi)
EOF
cmake -S "$work/find_package" -B "$work/find_package/build" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/find_package/build" >/dev/null

step "pkg-config with the README's program"
# shellcheck disable=SC2046
PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" c++ -std=c++20 "$work/my_app.cpp" \
  -o "$work/my_app" $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs --static korvi)
"$work/my_app" >"$work/my_app.log" 2>&1 &
pids="$pids $!"
code=$(curl -sS --retry 30 --retry-connrefused --retry-delay 1 --max-time 60 -o /dev/null \
  -w '%{http_code}' "http://127.0.0.1:8081/hello?name=walk" || true)
[ "$code" = 200 ] || fail "the README's program answered '$code' on port 8081"

step "add_subdirectory(korvi)"
mkdir "$work/embed"
cat >"$work/embed/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(my_app LANGUAGES CXX)
add_subdirectory($repo korvi)
add_executable(my_app $work/my_app.cpp)
target_link_libraries(my_app PRIVATE korvi)
EOF
cmake -S "$work/embed" -B "$work/embed/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/embed/build" >/dev/null

printf '\nwalk-readme: every command worked as written\n'
