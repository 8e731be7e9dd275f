#!/bin/bash
# Two korvi-demo instances behind nginx on one PostgreSQL, all on loopback:
# drives the same mixed traffic at one instance alone and then through nginx
# at both, prints requests/s of each, and checks that every review posted
# through either instance is listed by the other.
#
#   bench/two-instances.sh [REQUESTS_PER_CLIENT] [CLIENTS]   (defaults 150, 8)
#
# Installs nginx and PostgreSQL when missing, builds korvi-demo (Release) in
# build-bench/, and starts a throw-away PostgreSQL server unless
# KORVI_TEST_POSTGRES names one. Everything it starts is stopped at the end.
# Each client sends from its own loopback address (127.0.N.1) so that
# nginx's ip_hash, which keys an IPv4 client on its first three bytes, sends
# different clients to different instances. Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
per_client="${1:-150}"
clients="${2:-8}"

KORVI_EXTRA_PACKAGES="postgresql nginx" tools/setup-deps.sh
if [ -z "${KORVI_TEST_POSTGRES:-}" ]; then
  exec tools/with-postgres.sh bench/two-instances.sh "$@"
fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_BENCH=ON >/dev/null
cmake --build build-bench --target korvi-demo >/dev/null
database="$KORVI_TEST_POSTGRES"

. bench/loopback_services.sh
start_work two

# Starts instance $1 on a free port from $2; sets `port` to its port.
start_instance() {
  local name=$1
  port=$(free_port "$2")
  build-bench/bin/korvi-demo --port "$port" --data "$work/$name" --database "$database" \
    >"$work/$name.log" 2>&1 &
  pids+=($!)
  wait_for "http://127.0.0.1:$port/static/demo.css"
}

start_instance a 18200
port_a=$port
start_instance b $((port_a + 1))
port_b=$port

port_nginx=$(free_port $((port_b + 1)))
nginx_head >"$work/nginx.conf"
cat >>"$work/nginx.conf" <<EOF
  log_format upstream '\$upstream_addr';
  access_log $work/nginx/access.log upstream;
  upstream korvi {
    ip_hash;
    server 127.0.0.1:$port_a;
    server 127.0.0.1:$port_b;
  }
  server {
    listen 127.0.0.1:$port_nginx;
    location / {
      proxy_pass http://korvi;
      proxy_http_version 1.0;
      proxy_set_header Host \$host;
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
    }
  }
}
EOF
start_nginx
wait_for "http://127.0.0.1:$port_nginx/static/demo.css"

# Writes client $2's curl configuration for phase $1 against port $3: of
# every 10 requests 3 are shop pages (a loop producer over the teas), 3 tea
# pages (the processor listing a tea's reviews), 2 the style sheet (a file)
# and 2 post a review through ProcessQuery, with a text of fixed width so
# that none is a prefix of another.
client_config() {
  local phase=$1 client=$2 target=$3 i
  for i in $(seq "$per_client"); do
    case $((i % 10)) in
      0 | 5)
        printf 'url = "http://127.0.0.1:%s/review"\n' "$target"
        printf 'data = "FQuery=qAddReview&FRequired=author%%3Bbody&id=%d&author=bench&rating=4&body=m-%s-%02d-%05d"\n' \
          $((i % 12 + 1)) "$phase" "$client" "$i"
        ;;
      3 | 7) printf 'url = "http://127.0.0.1:%s/static/demo.css"\n' "$target" ;;
      1 | 4 | 8) printf 'url = "http://127.0.0.1:%s/shop?page=%d"\n' "$target" $((i % 3 + 1)) ;;
      *) printf 'url = "http://127.0.0.1:%s/tea?id=%d"\n' "$target" $((i % 12 + 1)) ;;
    esac
    printf 'output = "/dev/null"\nsilent\nwrite-out = "%%{http_code}\\n"\ninterface = "127.0.%d.1"\nnext\n' \
      "$client"
  done >"$work/$phase-$client.curl"
  grep -o 'm-[a-z]*-[0-9]*-[0-9]*' "$work/$phase-$client.curl" >>"$work/$phase.messages" || true
}

# Runs phase $1 against port $2 with every client at once; prints a line
# with the answers and requests/s.
run_phase() {
  local phase=$1 target=$2 c
  : >"$work/$phase.messages"
  for c in $(seq "$clients"); do client_config "$phase" "$c" "$target"; done
  local start end
  start=$(date +%s.%N)
  for c in $(seq "$clients"); do
    curl -K "$work/$phase-$c.curl" >"$work/$phase-$c.codes" 2>/dev/null &
  done
  wait_clients
  end=$(date +%s.%N)
  local total ok
  total=$(cat "$work/$phase"-*.codes | wc -l)
  # A posted review is answered with a redirect to its tea's page.
  ok=$(cat "$work/$phase"-*.codes | grep -c '^\(200\|302\)$' || true)
  awk -v p="$phase" -v t="$total" -v o="$ok" -v s="$start" -v e="$end" \
    'BEGIN { printf "%-14s %6d requests, %6d answered, %7.1f requests/s\n", p, t, o, t / (e - s) }'
  [ "$ok" -eq "$total" ]
}

# Waits for the curl clients of a phase (not for the servers).
wait_clients() {
  local job
  for job in $(jobs -p); do
    case " ${pids[*]} " in *" $job "*) ;; *) wait "$job" || true ;; esac
  done
}

# Checks that the tea pages on port $2 list every review of phase $1.
check_listed() {
  local phase=$1 target=$2 listing missing id
  listing=$(for id in $(seq 12); do curl -s "http://127.0.0.1:$target/tea?id=$id"; done)
  missing=$(grep -c -v -F -f <(grep -o 'm-[a-z]*-[0-9]*-[0-9]*' <<<"$listing") \
    "$work/$phase.messages" || true)
  echo "instance on port $target lists $(($(wc -l <"$work/$phase.messages") - missing)) of $(wc -l <"$work/$phase.messages") reviews posted in phase $phase"
  [ "$missing" -eq 0 ]
}

echo "$clients clients x $per_client requests (30% shop pages, 30% tea pages, 20% style sheet, 20% reviews)"
run_phase one "$port_a"
check_listed one "$port_b"
# The second phase starts without reviews too, so that both list as much.
psql -q "$database" -c "delete from reviews"
: >"$work/nginx/access.log"
run_phase two "$port_nginx"
echo "nginx sent $(grep -c ":$port_a" "$work/nginx/access.log") requests to instance A," \
  "$(grep -c ":$port_b" "$work/nginx/access.log") to instance B"
check_listed two "$port_a"
check_listed two "$port_b"

# Reviews posted directly at one instance are listed by the other.
for target in "$port_a" "$port_b"; do
  curl -s -o /dev/null \
    -d "FQuery=qAddReview&FRequired=author%3Bbody&id=1&author=direct&rating=5&body=m-direct-00-$target" \
    "http://127.0.0.1:$target/review"
done
printf 'm-direct-00-%s\n' "$port_a" "$port_b" >"$work/direct.messages"
check_listed direct "$port_a"
check_listed direct "$port_b"
echo "every review posted through one instance is listed by the other"
