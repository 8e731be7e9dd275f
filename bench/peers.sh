#!/usr/bin/env bash
# Measures korvi-serve side by side with nginx, lighttpd, a cpp-httplib file
# server and a civetweb file server on one document root, and a Korvi action
# against a cpp-httplib handler answering the same text: first with wrk
# sending "Connection: close" (one request per connection), then with
# connections kept (the peers with keep-alive and TCP_NODELAY, korvi-serve
# and the action in the HTTP/1.1 profile; every server that has a cap takes
# up to 1000 requests on a connection). Then the HTTPS rows of
# bench/peers_https.sh (korvi-serve against nginx), and the template row:
# the loop producer's 1,000-row page of bench_pages from a TMemoryDataSet
# and from SQLite, against mstch rendering the same page from its in-memory
# list. All servers on 127.0.0.1; each run prints its own tables, with
# requests/s (pages/s for templates) and Korvi's ratios to each peer and to
# the best of them.
#
#   bench/peers.sh [SECONDS] [RUNS]       (default 5 s per measurement, 1 run)
#
# Environment: KORVI_BENCH_BUILD (build directory, default build-bench),
# PEERS_PORT (first port tried, default 28080), WRK_THREADS /
# WRK_CONNECTIONS (default 2 / 16). Installs the Debian packages it needs
# when missing, builds what it runs, stops every server it started and
# removes its files. Every step has a time limit, so the run ends by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
runs=${2:-1}

KORVI_EXTRA_PACKAGES="nginx-light lighttpd wrk libcpp-httplib-dev libcivetweb-dev libmstch-dev" \
  tools/setup-deps.sh >/dev/null
. bench/loopback_services.sh
echo "peers.sh: building korvi-serve, text_action_server and bench_pages (Release)"
build_bench korvi-serve text_action_server bench_pages
start_work peers
echo "peers.sh: building the cpp-httplib, civetweb and mstch programs"
timeout 600 g++ -std=c++17 -O2 -o "$work/peer_httplib" bench/peer_httplib.cpp -lcpp-httplib -pthread
timeout 600 g++ -std=c++17 -O2 -o "$work/peer_civetweb" bench/peer_civetweb.cpp -lcivetweb -pthread
timeout 600 g++ -std=c++17 -O2 -o "$work/peer_mstch" bench/peer_mstch.cpp -lmstch

# The document root: the three files, and the answer text of 100 bytes.
root=$work/root
mkdir -p "$root"
text_file() {  # SIZE FILE: SIZE bytes of text in lines of 76
  head -c "$1" /dev/urandom | base64 -w 76 >"$2"
  truncate -s "$1" "$2"
}
text_file 600 "$root/600b.htm"
text_file 20000 "$root/20kb.htm"
head -c 1048576 /dev/urandom >"$root/1mib.bin"
chmod -R a+rX "$work"
printf -v text '%-100.100s' \
  'Korvi answers this text of exactly one hundred bytes, the same from every server that is measured.'

port_nginx=$(free_port "${PEERS_PORT:-28080}")
port_lighttpd=$(free_port $((port_nginx + 1)))
port_httplib=$(free_port $((port_lighttpd + 1)))
port_civetweb=$(free_port $((port_httplib + 1)))
port_korvi=$(free_port $((port_civetweb + 1)))
port_action=$(free_port $((port_korvi + 1)))

nginx_head >"$work/nginx.conf"
cat >>"$work/nginx.conf" <<CONF
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port_nginx; root $root; }
}
CONF
cat >"$work/lighttpd.conf" <<CONF
server.document-root = "$root"
server.bind = "127.0.0.1"
server.port = $port_lighttpd
server.errorlog = "$work/lighttpd-error.log"
server.max-connections = 2048
server.max-keep-alive-requests = 1000
mimetype.assign = (".htm" => "text/html", ".bin" => "application/octet-stream")
CONF

start() {  # NAME COMMAND...: starts a server in the background, output to NAME.log
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=("$!")
}
start_nginx
start lighttpd lighttpd -D -f "$work/lighttpd.conf"
start httplib "$work/peer_httplib" "$port_httplib" "$root" "$text"
start civetweb "$work/peer_civetweb" "$port_civetweb" "$root"
# korvi-serve as a user runs it (in the HTTP/1.1 profile), without its line
# per request, as the peers run without an access log.
start korvi "$build/bin/korvi-serve" --root "$root" --port "$port_korvi" --bind 127.0.0.1 --quiet
start action "$build/bin/text_action_server" "$port_action" "$text"

for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
  wait_for "http://127.0.0.1:$port/600b.htm" -f -m 5
done
wait_for "http://127.0.0.1:$port_action/text" -f -m 5
wait_for "http://127.0.0.1:$port_httplib/text" -f -m 5
# Every server must send the same bytes of a file, and both the same text.
for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
  curl -sf -m 10 "http://127.0.0.1:$port/20kb.htm" | cmp -s - "$root/20kb.htm" ||
    { echo "peers.sh: port $port sent another 20kb.htm" >&2; exit 1; }
done
for port in $port_action $port_httplib; do
  [[ $(curl -sf -m 10 "http://127.0.0.1:$port/text") == "$text" ]] ||
    { echo "peers.sh: port $port sent another text" >&2; exit 1; }
done
# The template programs must make the same table (the loop producer's page
# also carries empty lines, which are left out of the comparison).
cmp -s <(timeout 60 "$build/bin/bench_pages" --print-page 1 | sed '/^\r$/d') \
  <(timeout 60 "$work/peer_mstch" 1000 0) ||
  { echo "peers.sh: bench_pages and peer_mstch make different tables" >&2; exit 1; }

best() { printf '%s\n' "$@" | sort -n | tail -n 1; }

tables() {  # [WRK OPTION...]: the file table and the text table
  local file n l h c k
  echo "| file | nginx | lighttpd | cpp-httplib | civetweb | korvi-serve | korvi/nginx | korvi/lighttpd | korvi/httplib | korvi/civetweb | korvi/best |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"
  for file in 600b.htm 20kb.htm 1mib.bin; do
    # A short warm-up so that every server has its files cached.
    for port in $port_nginx $port_lighttpd $port_httplib $port_civetweb $port_korvi; do
      curl -sf -m 10 -o /dev/null "http://127.0.0.1:$port/$file"
    done
    n=$(wrk_rate "http://127.0.0.1:$port_nginx/$file" "$@")
    l=$(wrk_rate "http://127.0.0.1:$port_lighttpd/$file" "$@")
    h=$(wrk_rate "http://127.0.0.1:$port_httplib/$file" "$@")
    c=$(wrk_rate "http://127.0.0.1:$port_civetweb/$file" "$@")
    k=$(wrk_rate "http://127.0.0.1:$port_korvi/$file" "$@")
    echo "| $file | $n | $l | $h | $c | $k | $(ratio "$k" "$n") | $(ratio "$k" "$l")" \
      "| $(ratio "$k" "$h") | $(ratio "$k" "$c") | $(ratio "$k" "$(best "$n" "$l" "$h" "$c")") |"
  done
  echo
  echo "| answer of 100 bytes | cpp-httplib handler | Korvi action | korvi/httplib |"
  echo "| --- | ---: | ---: | ---: |"
  h=$(wrk_rate "http://127.0.0.1:$port_httplib/text" "$@")
  k=$(wrk_rate "http://127.0.0.1:$port_action/text" "$@")
  echo "| /text | $h | $k | $(ratio "$k" "$h") |"
}

# The page of bench_pages: pages/s of mstch, and of the loop producer from
# memory and from SQLite (bench_pages prints "case pages pages/s ...").
template_table() {
  local mstch pages memory sqlite
  mstch=$(timeout $((seconds + 60)) "$work/peer_mstch" 1000 "$seconds" |
    awk '{ for (i = 1; i < NF; ++i) if ($(i + 1) == "pages/s,") printf "%d", $i }')
  pages=$(timeout $((5 * seconds + 120)) "$build/bin/bench_pages" --seconds "$seconds" --tags 0)
  memory=$(awk '/rows \(memory data set\)/ { printf "%d", $(NF - 2) }' <<<"$pages")
  sqlite=$(awk '/rows \(query open\)/ { printf "%d", $(NF - 2) }' <<<"$pages")
  echo "| 1,000-row page, in process | pages/s | korvi/mstch |"
  echo "| --- | ---: | ---: |"
  echo "| mstch, from its in-memory list | $mstch | |"
  echo "| Korvi loop producer, TMemoryDataSet | $memory | $(ratio "$memory" "$mstch") |"
  echo "| Korvi loop producer, SQLite (query open) | $sqlite | $(ratio "$sqlite" "$mstch") |"
}

for run in $(seq "$runs"); do
  echo
  echo "## Run $run of $runs"
  echo
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores;" \
    "wrk -t${WRK_THREADS:-2} -c${WRK_CONNECTIONS:-16}, ${seconds}s each;" \
    "TCP congestion control $(cat /proc/sys/net/ipv4/tcp_congestion_control 2>/dev/null || echo unknown)"
  echo
  echo "Connection: close"
  echo
  tables -H 'Connection: close'
  echo
  echo "Keep-alive: wrk without \"Connection: close\"; the peers keep connections"
  echo "with TCP_NODELAY, korvi-serve and the Korvi action in the HTTP/1.1 profile"
  echo
  tables
  echo
  echo "HTTPS: korvi-serve against nginx, the same certificate for both"
  echo
  bench/peers_https.sh "$seconds"
  echo
  template_table
  echo
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
done
