#!/bin/bash
# Builds the program of the tutorial step by step against Korvi installed
# into a temporary prefix, starts each step's program on a port the system
# picks, and replays the curl sessions the tutorial shows for that step:
# every command must print what the tutorial says it prints.
#   tutorial_test.sh TUTORIAL KORVI_BUILD_DIR WORK_DIR GENERATOR CXX [LAUNCHER] [LINK_OPTIONS]
# LINK_OPTIONS are the build's own link options (its sanitizers).
#
# How the tutorial is read: a heading "## Step N" opens step N. A code block
# whose info string names a file ("```cpp file=main.cpp") is that step's
# version of the file; a step keeps the files of the steps before it that it
# does not show again. A "```console" block is a curl session: each
# "$ command" line is followed by the lines the command prints. Sessions run
# with bash in the step's folder, with localhost:8080 standing for the
# program's address.
set -euo pipefail

tutorial=$1 build_dir=$2 work=$3 generator=$4 cxx=$5 launcher=${6:-} link_options=${7:-}
prefix=$work/prefix
server_pid=

fail() {
  echo "tutorial test: $*" >&2
  exit 1
}

stop_server() {
  [[ -n $server_pid ]] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  timeout 30 tail --pid="$server_pid" -f /dev/null || kill -KILL "$server_pid" 2>/dev/null || true
  local status=0
  wait "$server_pid" || status=$?
  server_pid=
  return "$status"
}
trap 'stop_server || true' EXIT

run() {
  local what=$1
  shift
  local output
  output=$("$@" 2>&1) || fail "$what failed:"$'\n'"$output"
}

rm -rf "$work"
mkdir -p "$work/blocks"

# The blocks of every step: $work/blocks/N/files/<file> and
# $work/blocks/N/session-<K>.
awk -v out="$work/blocks" '
  function open_block(path) { target = path; system("mkdir -p \"$(dirname \"" path "\")\"") }
  /^## Step [0-9]+/ && !inside { step = $3 + 0; sessions = 0; next }
  /^```/ && inside { inside = 0; if (target != "") close(target); target = ""; next }
  /^```/ {
    inside = 1; target = ""
    if (step == 0) next
    if (match($0, /file=[^ ]+/)) open_block(out "/" step "/files/" substr($0, RSTART + 5, RLENGTH - 5))
    else if ($0 == "```console") open_block(out "/" step "/session-" ++sessions)
    next
  }
  inside && target != "" { print > target }
' "$tutorial"

steps=$(find "$work/blocks" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort -n)
[[ -n $steps ]] || fail "no steps with code in $tutorial"

# Korvi installed as a reader has it. The programs link every library:
# building them builds all there is to install.
run "building Korvi" cmake --build "$build_dir" -j 2 --target korvi-serve korvi-map
run "installing Korvi" cmake --install "$build_dir" --prefix "$prefix"

configure_options=(-G "$generator" "-DCMAKE_PREFIX_PATH=$prefix" "-DCMAKE_CXX_COMPILER=$cxx"
  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_EXE_LINKER_FLAGS=$link_options")
[[ -z $launcher ]] || configure_options+=("-DCMAKE_CXX_COMPILER_LAUNCHER=$launcher")

# Replays the session in file $2 against the program on port $3, in folder $1.
replay() {
  local folder=$1 session=$2 port=$3
  local script=$folder/replay.sh expected=$folder/expected
  : >"$script"
  : >"$expected"
  local line
  while IFS= read -r line; do
    if [[ $line == '$ '* ]]; then
      printf 'echo "\\$"\n%s\n' "${line:2}" | sed "s|localhost:8080|127.0.0.1:$port|g" >>"$script"
      echo '$' >>"$expected"
    else
      printf '%s\n' "$line" >>"$expected"
    fi
  done <"$session"
  local actual
  actual=$(cd "$folder" && timeout 60 bash --noprofile --norc "$script" 2>&1 | tr -d '\r') || true
  diff -u "$expected" <(printf '%s\n' "$actual") ||
    fail "$session: the program's answers differ from the tutorial's (- tutorial, + program);" \
      "its standard error:"$'\n'"$(cat "$folder/stderr")"
}

for step in $steps; do
  folder=$work/step$step
  mkdir -p "$folder"
  for earlier in $steps; do
    ((earlier <= step)) || break
    [[ ! -d $work/blocks/$earlier/files ]] || cp -R "$work/blocks/$earlier/files/." "$folder/"
  done
  ls "$work/blocks/$step"/session-* >/dev/null 2>&1 || fail "step $step shows no curl session"

  run "configuring step $step" cmake -S "$folder" -B "$folder/build" "${configure_options[@]}"
  run "building step $step" cmake --build "$folder/build" -j 2
  program=$(sed -n 's/^add_executable(\([^ )]*\).*/\1/p' "$folder/CMakeLists.txt")

  mkfifo "$folder/stdout"
  (cd "$folder" && exec "build/$program" 0 >stdout 2>stderr) &
  server_pid=$!
  exec 3<"$folder/stdout"
  read -r -t 60 -u 3 announcement ||
    fail "step $step: the program did not say its port:"$'\n'"$(cat "$folder/stderr")"
  port=${announcement##* }
  [[ $port =~ ^[0-9]+$ ]] || fail "step $step: no port in \"$announcement\""

  for session in "$work/blocks/$step"/session-*; do
    replay "$folder" "$session" "$port"
  done
  stop_server || fail "step $step: the program ended badly:"$'\n'"$(cat "$folder/stderr")"
  exec 3<&-
done

rm -rf "$work"
