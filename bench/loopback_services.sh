# Sourced by the bench scripts that start servers on loopback (bash):
# a work directory and the processes started, both removed on exit, a free
# port, and waiting for a server to answer.
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
