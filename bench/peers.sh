#!/usr/bin/env bash
# Measures korvi-serve side by side with nginx, lighttpd, a cpp-httplib file
# server and a civetweb file server on one document root, and a Korvi action
# against a cpp-httplib handler answering the same text. One run, all
# servers on 127.0.0.1, wrk with one request per connection, then again with
# connections kept (korvi-serve in its HTTP/1.1 profile). Ends with the
# HTTPS rows of bench/peers_https.sh (korvi-serve against nginx).
#
#   bench/peers.sh [SECONDS]          (default 5 per measurement)
#
# Environment: KORVI_BENCH_BUILD (build directory, default build-bench),
# PEERS_PORT (first port, default 28080), WRK_THREADS / WRK_CONNECTIONS
# (default 2 / 16). Installs the Debian packages it needs when missing,
# builds what it runs, stops every server it started and removes its files.
# Every step has a time limit, so the run ends by itself.
set -euo pipefail

seconds=${1:-5}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVI_BENCH_BUILD:-$repo/build-bench}
base_port=${PEERS_PORT:-28080}
threads=${WRK_THREADS:-2}
connections=${WRK_CONNECTIONS:-16}

packages=(nginx-light lighttpd wrk libcpp-httplib-dev libcivetweb-dev curl cmake ninja-build g++
  libsqlite3-dev libpq-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "peers.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/korvi-peers.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

echo "peers.sh: building korvi-serve and text_action_server (Release) in $build"
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_BENCH=ON >/dev/null
fi
timeout 1800 cmake --build "$build" --target korvi-serve text_action_server >/dev/null
echo "peers.sh: building the cpp-httplib and civetweb servers"
g++ -std=c++17 -O2 -o "$work/peer_httplib" "$repo/bench/peer_httplib.cpp" -lcpp-httplib -pthread
g++ -std=c++17 -O2 -o "$work/peer_civetweb" "$repo/bench/peer_civetweb.cpp" -lcivetweb -pthread

# The document root: the three files, and the answer text of 100 bytes.
root=$work/root
mkdir -p "$root"
head -c 600 /dev/urandom | base64 -w 76 | head -c 600 >"$root/600b.htm"
head -c 20000 /dev/urandom | base64 -w 76 | head -c 20000 >"$root/20kb.htm"
head -c 1048576 /dev/urandom >"$root/1mib.bin"
# nginx's workers run as www-data: the root must be readable to all.
chmod -R a+rX "$work"
text=$(printf 'Korvi answers this text of exactly one hundred bytes, the same from every server that is measured.%*s' 100 '' | head -c 100)

port_nginx=$base_port
port_lighttpd=$((base_port + 1))
port_httplib=$((base_port + 2))
port_civetweb=$((base_port + 3))
port_korvi=$((base_port + 4))
port_action=$((base_port + 5))

mkdir -p "$work/nginx"
cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$port_nginx; root $root; }
}
CONF
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $port_lighttpd
server.errorlog = "$work/lighttpd-error.log"
server.pid-file = "$work/lighttpd.pid"
server.max-connections = 2048
mimetype.assign = (".htm" => "text/html", ".bin" => "application/octet-stream")
CONF

start() {  # NAME COMMAND...: starts a server in the background, output to NAME.log
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=("$!")
}
start nginx nginx -c "$work/nginx.conf" -p "$work/nginx"
start lighttpd lighttpd -D -f "$work/lighttpd.conf"
start httplib "$work/peer_httplib" "$port_httplib" "$root" "$text"
start civetweb "$work/peer_civetweb" "$port_civetweb" "$root"
# korvi-serve as a user runs it: its request log goes to a file.
start korvi "$build/bin/korvi-serve" --root "$root" --port "$port_korvi"
start action "$build/bin/text_action_server" "$port_action" "$text"

wait_up() {  # PORT PATH
  for _ in $(seq 300); do
    curl -sf -m 5 -o /dev/null "http://127.0.0.1:$1$2" && return 0
    sleep 0.1
  done
  echo "peers.sh: nothing answers on port $1$2" >&2
  tail -n 5 "$work"/*.log "$work"/nginx/error.log >&2 || true
  exit 1
}
for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
  wait_up "$port" /600b.htm
done
wait_up "$port_action" /text
wait_up "$port_httplib" /text
# Every server must send the same bytes of a file.
for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
  curl -sf -m 10 "http://127.0.0.1:$port/20kb.htm" | cmp -s - "$root/20kb.htm" ||
    { echo "peers.sh: port $port sent another 20kb.htm" >&2; exit 1; }
done

measure() {  # PORT PATH [WRK OPTION...]: prints requests/s
  local out port=$1 path=$2
  shift 2
  out=$(timeout $((seconds + 60)) wrk --timeout 10s -t"$threads" -c"$connections" -d"${seconds}s" "$@" \
    "http://127.0.0.1:$port$path")
  if grep -q 'Non-2xx\|Socket errors' <<<"$out"; then
    echo "peers.sh: errors on port $port$path:" >&2
    grep 'Non-2xx\|Socket errors' <<<"$out" >&2
  fi
  awk '/Requests\/sec/ {printf "%d", $2}' <<<"$out"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

tables() {  # [WRK OPTION...]: the file table and the text table
  echo "| file | nginx | lighttpd | cpp-httplib | civetweb | korvi-serve | korvi/nginx | korvi/lighttpd | korvi/httplib | korvi/civetweb |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
  for file in 600b.htm 20kb.htm 1mib.bin; do
    # A short warm-up so that every server has its files cached.
    for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
      curl -sf -m 10 -o /dev/null "http://127.0.0.1:$port/$file"
    done
    n=$(measure "$port_nginx" "/$file" "$@")
    l=$(measure "$port_lighttpd" "/$file" "$@")
    h=$(measure "$port_httplib" "/$file" "$@")
    c=$(measure "$port_civetweb" "/$file" "$@")
    k=$(measure "$port_korvi" "/$file" "$@")
    echo "| $file | $n | $l | $h | $c | $k | $(ratio "$k" "$n") | $(ratio "$k" "$l") | $(ratio "$k" "$h") | $(ratio "$k" "$c") |"
  done
  echo
  echo "| answer of 100 bytes | cpp-httplib handler | Korvi action | Korvi/httplib |"
  echo "| --- | ---: | ---: | ---: |"
  h=$(measure "$port_httplib" /text "$@")
  k=$(measure "$port_action" /text "$@")
  echo "| /text | $h | $k | $(ratio "$k" "$h") |"
}

echo
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores;" \
  "wrk -t$threads -c$connections, ${seconds}s each, Connection: close"
echo
tables -H 'Connection: close'
echo
echo "Keep-alive: wrk without \"Connection: close\"; the peers keep connections"
echo "with TCP_NODELAY, korvi-serve and the Korvi action in the HTTP/1.1 profile"
echo
tables
echo
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "korvi-serve logged $(grep -c ' GET /' "$work/korvi.log") requests"
echo
echo "HTTPS: korvi-serve against nginx, the same certificate for both"
bench/peers_https.sh "$seconds"
