#!/usr/bin/env bash
# The setup's Downloader against the curl tool, both fetching the same file over HTTPS from a
# local nginx on loopback. Each process is timed whole, from outside (wall, user, sys), in
# alternating pairs after a discarded warm-up pair, with the destination absent and present,
# on a RAM disk and in a disk folder. Then the peak memory of a small and a large download.
# Usage: bench/download_bench.sh path/to/bench_download [pairs]
set -euo pipefail
driver=$(realpath "$1")
pairs=${2:-11}
size=${BENCH_MIB:-512} # MiB; BENCH_MIB=1 shows what a process costs before its first byte

# The disk folder lies below the current one (the build folder); the RAM disk is /dev/shm
# where it has room. The server's files sit on the RAM disk when there is one.
ram=
shm_free_kib=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 {print $4}')
if [ "${shm_free_kib:-0}" -gt $((4 << 20)) ]; then
  ram=$(mktemp -d -p /dev/shm)
fi
disk=$(mktemp -d -p "$PWD")
work=${ram:-$disk}
chmod 755 "$work"
port=$((20000 + RANDOM % 20000))
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  rm -rf "$disk" ${ram:+"$ram"}
}
trap cleanup EXIT

mkdir -p "$work/www" "$work/tmp" "$work/home"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 2>/dev/null
chmod 644 "$work/key.pem" "$work/cert.pem"

# Files of incompressible bytes: a random mebibyte repeated.
head -c $((1 << 20)) /dev/urandom >"$work/block"
for mib in 64 "$size" 1024; do
  for _ in $(seq "$mib"); do cat "$work/block"; done >"$work/www/image-$mib.dmg"
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
# With two processors or more, the server keeps one and the clients the other, so that neither
# tool's figure depends on where the scheduler happened to put the server.
server_cpu=() client_cpu=()
if [ "$(nproc)" -ge 2 ]; then
  server_cpu=(taskset -c 0) client_cpu=(taskset -c 1)
fi
"${server_cpu[@]}" nginx -c "$work/nginx.conf" -p "$work"
for _ in $(seq 50); do
  curl -s -o /dev/null --cacert "$work/cert.pem" "https://127.0.0.1:$port/image-64.dmg" && break
  sleep 0.1
done

TIMEFORMAT='%R %U %S'
# One whole process of `tool`, downloading image-MIB.dmg to OUT; appends "wall user sys" to
# $work/t-TOOL and ours' peak memory to $work/rss-MIB.
fetch() { # tool mib out
  local url="https://127.0.0.1:$port/image-$2.dmg"
  if [ "$1" = curl ]; then
    { time "${client_cpu[@]}" curl -sS -o "$3" --cacert "$work/cert.pem" "$url"; } 2>>"$work/t-curl"
  else
    { time HOME="$work/home" XDG_STATE_HOME="$work/home/state" \
      "${client_cpu[@]}" "$driver" "$url" "$3" "$work/cert.pem" >"$work/line" 2>"$work/err"; } \
      2>>"$work/t-ours" ||
      { cat "$work/err" >&2; exit 1; }
    sed -n 's/^maxrss_kib=\([0-9]*\)$/\1/p' "$work/line" >>"$work/rss-$2"
  fi
}

echo "download benchmark: $size MiB over HTTPS from nginx on loopback, whole processes timed," \
  "$pairs alternating pairs after a warm-up pair"
for place in ram disk; do
  dir=${!place}
  if [ -z "$dir" ]; then
    echo "RAM disk: skipped, less than 4 GiB free in /dev/shm"
    continue
  fi
  label="$([ "$place" = ram ] && echo "RAM disk" || echo "disk folder") ($(df --output=fstype "$dir" | tail -1))"
  out="$dir/out.dmg"
  for dest in absent present; do
    rm -f "$out"
    : >"$work/t-ours" >"$work/t-curl"
    for pair in $(seq 0 "$pairs"); do
      # Alternate who goes first, so that neither always inherits the other's write-back.
      order="curl ours"
      [ $((pair % 2)) -eq 1 ] && order="ours curl"
      for tool in $order; do
        [ "$dest" = absent ] && rm -f "$out"
        fetch "$tool" "$size" "$out"
        if [ "$pair" -eq 0 ] && ! cmp -s "$out" "$work/www/image-$size.dmg"; then
          echo "$tool: wrong bytes" >&2
          exit 1
        fi
      done
    done
    rm -f "$out"
    # Pair 0 is the warm-up; the ratio is taken pair by pair, then its median.
    paste -d ' ' "$work/t-ours" "$work/t-curl" | tail -n +2 | awk -v what="$label, destination $dest" '
      function median(a, n,   i, j, t) {
        for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
      }
      { n++; r[n] = $1 / $4; ow[n] = $1; ou[n] = $2; os[n] = $3; cw[n] = $4; cu[n] = $5; cs[n] = $6 }
      END {
        m = median(r, n)
        printf "%s: ours/curl wall time median %.2fx (min %.2f, max %.2f, target <= 1.00) %s\n", what, m, r[1], r[n], (m <= 1.0 ? "ok" : "MISSED")
        printf "    median seconds  ours: wall %.3f user %.3f sys %.3f   curl: wall %.3f user %.3f sys %.3f\n", median(ow, n), median(ou, n), median(os, n), median(cw, n), median(cu, n), median(cs, n)
      }'
  done
done

: >"$work/t-ours"
for mib in 64 1024; do
  for _ in 1 2; do
    fetch ours "$mib" "$work/out.dmg"
    rm -f "$work/out.dmg"
  done
done
small=$(sort -n "$work/rss-64" | tail -1)
large=$(sort -n "$work/rss-1024" | tail -1)
awk -v a="$small" -v b="$large" 'BEGIN {
  printf "peak RSS ours: %.1f MiB at 64 MiB, %.1f MiB at 1 GiB, growth %+.1f MiB (target: within 4 MiB)\n",
    a / 1024, b / 1024, (b - a) / 1024 }'
