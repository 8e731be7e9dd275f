#!/bin/bash
# korvi-serve over HTTPS against nginx over HTTPS, both with the same
# self-signed certificate and the same files, on loopback: wrk (-t2 -c16 unless
# WRK_THREADS / WRK_CONNECTIONS say otherwise) fetches a 600 B, a 20 KiB and
# a 1 MiB file from each for SECONDS (default
# 10), first with "Connection: close" (every request makes its own TLS
# handshake), then with connections kept (korvi-serve in its HTTP/1.1
# profile, nginx with its keep-alive defaults). Prints requests/s of both and
# korvi's share of nginx's.
#
#   bench/peers_https.sh [SECONDS]
#
# Installs nginx-light, wrk and openssl when missing, builds korvi-serve
# (Release) in build-bench/ (or $KORVI_BENCH_BUILD), and stops everything it
# started at the end. Not part of the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"

KORVI_EXTRA_PACKAGES="nginx-light wrk openssl" tools/setup-deps.sh >/dev/null
. bench/loopback_services.sh
build_bench korvi-serve
start_work https

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
mkdir -p "$work/www"
head -c 600 /dev/urandom >"$work/www/600b.bin"
head -c 20480 /dev/urandom >"$work/www/20k.bin"
head -c 1048576 /dev/urandom >"$work/www/1m.bin"

port_korvi=$(free_port 18400)
"$build/bin/korvi-serve" --root "$work/www" --port "$port_korvi" --bind 127.0.0.1 --quiet \
  --tls-cert "$work/cert.pem" --tls-key "$work/key.pem" >/dev/null 2>"$work/korvi.err" &
pids+=($!)
wait_for "https://127.0.0.1:$port_korvi/600b.bin" --cacert "$work/cert.pem"

port_nginx=$(free_port $((port_korvi + 1)))
nginx_head >"$work/nginx.conf"
cat >>"$work/nginx.conf" <<CONF
  access_log off;
  sendfile on;
  server {
    listen 127.0.0.1:$port_nginx ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $work/www;
  }
}
CONF
start_nginx
wait_for "https://127.0.0.1:$port_nginx/600b.bin" --cacert "$work/cert.pem"

echo "| HTTPS | korvi-serve, close | nginx, close | korvi/nginx | korvi-serve, keep-alive | nginx, keep-alive | korvi/nginx |"
echo "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"
for file in 600b.bin 20k.bin 1m.bin; do
  korvi_close=$(wrk_rate "https://127.0.0.1:$port_korvi/$file" -H "Connection: close")
  nginx_close=$(wrk_rate "https://127.0.0.1:$port_nginx/$file" -H "Connection: close")
  korvi_kept=$(wrk_rate "https://127.0.0.1:$port_korvi/$file")
  nginx_kept=$(wrk_rate "https://127.0.0.1:$port_nginx/$file")
  echo "| $file | $korvi_close | $nginx_close | $(ratio "$korvi_close" "$nginx_close")" \
    "| $korvi_kept | $nginx_kept | $(ratio "$korvi_kept" "$nginx_kept") |"
done
