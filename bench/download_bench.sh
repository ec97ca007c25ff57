#!/usr/bin/env bash
# Download throughput and memory: the setup's Downloader against the curl tool, fetching the
# same files over HTTPS from a local nginx on loopback, in turn, several rounds.
# Usage: bench/download_bench.sh path/to/bench_download [rounds]
set -euo pipefail
driver=$(realpath "$1")
rounds=${2:-3}
# On a RAM disk where there is room, so that disk write-back does not drown the transfer.
shm_free_kib=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 {print $4}')
if [ "${shm_free_kib:-0}" -gt $((3 << 20)) ]; then
  work=$(mktemp -d -p /dev/shm)
else
  work=$(mktemp -d)
fi
chmod 755 "$work"
port=$((20000 + RANDOM % 20000))
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/tmp" "$work/home"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
chmod 644 "$work/key.pem" "$work/cert.pem"

# Files of incompressible bytes: a random mebibyte repeated.
head -c $((1 << 20)) /dev/urandom >"$work/block"
for size in 64 1024; do
  for _ in $(seq "$size"); do cat "$work/block"; done >"$work/www/image-$size.dmg"
done
chmod 644 "$work"/www/*

cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
events {}
http {
  access_log off;
  sendfile on;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
for _ in $(seq 50); do
  curl -s -o /dev/null --cacert "$work/cert.pem" "https://127.0.0.1:$port/image-64.dmg" && break
  sleep 0.1
done

median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

echo "download benchmark: $rounds rounds, HTTPS from nginx on loopback"
for size in 64 1024; do
  url="https://127.0.0.1:$port/image-$size.dmg"
  bytes=$((size << 20))
  : >"$work/ours" >"$work/curl" >"$work/rss"
  run_curl() {
    curl -s -o "$work/out-curl" --cacert "$work/cert.pem" -w '%{time_total}\n' "$url" >>"$work/curl"
    rm -f "$work/out-curl"
  }
  run_ours() {
    local line
    line=$(HOME="$work/home" XDG_STATE_HOME="$work/home/state" \
      "$driver" "$url" "$work/out-ours" "$work/cert.pem")
    cmp -s "$work/out-ours" "$work/www/image-$size.dmg" || { echo "ours: wrong bytes" >&2; exit 1; }
    rm -f "$work/out-ours"
    sed -n 's/.*seconds=\([0-9.]*\).*/\1/p' <<<"$line" >>"$work/ours"
    sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p' <<<"$line" >>"$work/rss"
  }
  # Alternate who goes first, so that neither always inherits the other's disk write-back.
  for round in $(seq "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then run_curl; run_ours; else run_ours; run_curl; fi
  done
  ours=$(median <"$work/ours")
  ref=$(median <"$work/curl")
  rss=$(sort -n "$work/rss" | tail -1)
  awk -v s="$size" -v b="$bytes" -v o="$ours" -v c="$ref" -v r="$rss" 'BEGIN {
    printf "%5d MiB: ours %7.1f MiB/s, curl %7.1f MiB/s, ratio ours/curl %.3f, peak RSS ours %.1f MiB\n",
      s, b / o / 1048576, b / c / 1048576, c / o, r / 1024 }'
  echo "$rss" >"$work/rss-$size"
done
awk -v a="$(cat "$work/rss-64")" -v b="$(cat "$work/rss-1024")" 'BEGIN {
  printf "peak RSS growth from 64 MiB to 1 GiB: %+.1f MiB (target: within 4 MiB)\n", (b - a) / 1024 }'
