#!/bin/sh
# Serves the sample site with korvi-serve and loads it in headless Chromium:
# the start page with its stylesheet and image, and a directory listing, must
# reach the browser's DOM.
#   browser_smoke.sh <korvi-serve> <site dir> <chromium>
set -eu
serve="$1"; site="$2"; browser="$3"
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT

# Port 0 lets the system choose; the program prints the port it took.
"$serve" --root "$site" --port 0 > "$work/serve.log" 2>&1 &
pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/.*listening on port \([0-9]*\).*/\1/p' "$work/serve.log")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/serve.log"; exit 1; }
  sleep 0.1
done
[ -n "$port" ] || { echo "korvi-serve did not start listening"; exit 1; }

load() {
  timeout 60 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile" --dump-dom "http://127.0.0.1:$port$1" 2>/dev/null
}
expect() {
  if ! grep -q "$2" "$1"; then
    echo "missing in $1: $2"; cat "$1"; exit 1
  fi
}

load / > "$work/index.dom"
expect "$work/index.dom" "<title>Korvi sample site</title>"
load /docs/ > "$work/listing.dom"
expect "$work/listing.dom" "Content of Server Directory : </font>/docs/"
expect "$work/listing.dom" 'href="/docs/about.htm"'
# The browser fetched the page's stylesheet and image through the server.
expect "$work/serve.log" "GET /korvi.css"
expect "$work/serve.log" "GET /korvi.png"
echo "browser smoke test passed on port $port"
