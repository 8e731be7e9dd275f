# Sourced by the bench scripts that start servers on loopback (bash):
# a work directory and the processes started, both removed on exit, a free
# port, waiting for a server to answer, and nginx kept in the work directory.
#
#   start_work NAME        makes $work (/tmp/korvi-NAME.XXXXXX) and the exit trap
#   pids+=($!)             after starting a process in the background

pids=()

# Makes the work directory $work; on exit, the processes in $pids are
# stopped and the directory goes away.
start_work() {
  work=$(mktemp -d "/tmp/korvi-$1.XXXXXX")
  trap stop_work EXIT
  trap 'exit 130' INT TERM
}

stop_work() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
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
