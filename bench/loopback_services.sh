# Sourced by the bench scripts that start servers on loopback (bash):
# a work directory and the processes started, both removed on exit, a free
# port, waiting for a server to answer, and nginx kept in the work directory.
#
#   start_work NAME        makes $work (/tmp/korvi-NAME.XXXXXX) and the exit trap
#   pids+=($!)             after starting a process in the background
#   build_bench TARGET...  builds Korvi's targets (Release, with the bench
#                          programs) in $build, default build-bench
#   wrk_rate URL [OPTION...]  requests/s of wrk against URL for $seconds
#   ratio A B              A / B with two decimals

pids=()

# Makes the work directory $work; on exit, the processes in $pids are
# stopped and the directory goes away.
start_work() {
  work=$(mktemp -d "/tmp/korvi-$1.XXXXXX")
  trap stop_work EXIT
  trap 'exit 130' INT TERM
}

# Each process gets 5 s to end after SIGTERM, then SIGKILL.
stop_work() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}

# Configures $build (KORVI_BENCH_BUILD, default build-bench) as Release with
# the bench programs when it has no cache yet, and builds the targets named,
# within 30 minutes. Runs in the repository's top directory.
build_bench() {
  build=${KORVI_BENCH_BUILD:-build-bench}
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVI_BUILD_BENCH=ON >/dev/null
  fi
  timeout 1800 cmake --build "$build" --target "$@" >/dev/null
}

# The first port from $1 on that nothing listens on.
free_port() {
  local port=$1
  while (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# Waits (at most 10 s) for the URL $1 to answer; more curl options may follow.
wait_for() {
  local url=$1
  shift
  for _ in $(seq 100); do
    curl -s -o /dev/null "$@" "$url" && return 0
    sleep 0.1
  done
  echo "no answer from $url" >&2
  return 1
}

# Prints the start of an nginx configuration that keeps its files in
# $work/nginx and runs as the current user, up to "http {" and the temporary
# paths; the caller writes the rest of the http block and its closing brace
# into $work/nginx.conf.
nginx_head() {
  mkdir -p "$work/nginx"
  cat <<CONF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
user $(id -un);
events { worker_connections 1024; }
http {
  keepalive_requests 1000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
CONF
}

# Starts nginx on $work/nginx.conf in the background.
start_nginx() {
  nginx -p "$work/nginx" -c "$work/nginx.conf" -g 'daemon off;' &
  pids+=($!)
}

# Requests/s (whole) of wrk -t$WRK_THREADS -c$WRK_CONNECTIONS (default 2 and
# 16) for $seconds against the URL $1, within $seconds + 60 s; more wrk
# options may follow. Errors and non-2xx answers that wrk counts are named
# on standard error.
wrk_rate() {
  local url=$1 out
  shift
  out=$(timeout $((seconds + 60)) wrk -t"${WRK_THREADS:-2}" -c"${WRK_CONNECTIONS:-16}" \
    -d"${seconds}s" --timeout 10s "$@" "$url") || echo "wrk: no figure from $url" >&2
  if grep -q 'Non-2xx\|Socket errors' <<<"$out"; then
    echo "wrk: errors from $url:" >&2
    grep 'Non-2xx\|Socket errors' <<<"$out" >&2
  fi
  awk '/^Requests\/sec:/ { printf "%d", $2 }' <<<"$out"
}

# A / B with two decimals ("-" when B is not positive).
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
