#!/usr/bin/env bash
# The setup's Downloader against the curl tool, both fetching the same file over HTTPS from a
# local nginx on loopback. Each process is timed whole, from outside (wall, user, sys), in
# alternating pairs after a discarded warm-up pair, with the destination absent and present,
# on a RAM disk and in a disk folder. Then the peak memory of a small and a large download,
# the time from the last byte to the mount with and without a signing key, and our signature
# check against minisign's on the same file.
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

# Files of incompressible bytes: a random mebibyte repeated, begun as a SquashFS file is, so
# that the setup's image check takes them.
{ printf hsqs; head -c $(((1 << 20) - 4)) /dev/urandom; } >"$work/block"
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
# The median of the numbers in FILE.
median() { sort -n "$1" | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
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

# From the last byte to the start of the mount: the check of a disk image as the setup makes it,
# of its format alone and of its signature too (the digest was taken while it downloaded), in
# alternating runs.
image=$work/www/image-$size.dmg
minisign -G -W -p "$work/sign.pub" -s "$work/sign.key" >/dev/null
minisign -S -s "$work/sign.key" -m "$image" </dev/null >/dev/null
chmod 644 "$image.minisig"
key=$(sed -n 2p "$work/sign.pub")
: >"$work/check--" >"$work/check-key"
for pair in $(seq 0 "$pairs"); do
  for k in - "$key"; do
    HOME="$work/home" XDG_STATE_HOME="$work/home/state" "${client_cpu[@]}" "$driver" \
      "https://127.0.0.1:$port/image-$size.dmg" "$work/out.dmg" "$work/cert.pem" "$k" \
      >"$work/line" 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    rm -f "$work/out.dmg"
    [ "$pair" -eq 0 ] && continue
    sed -n 's/^check_us=\([0-9]*\)$/\1/p' "$work/line" >>"$work/check-$([ "$k" = - ] && echo - || echo key)"
  done
done
awk -v plain="$(median "$work/check--")" -v signed="$(median "$work/check-key")" -v mib="$size" 'BEGIN {
  d = (signed - plain) / 1000
  printf "last byte to mount, %d MiB image: median %.1f ms with a key, %.1f ms without, %+.1f ms (target: under 50 ms more) %s\n",
    mib, signed / 1000, plain / 1000, d, (d < 50 ? "ok" : "MISSED") }'

# Our verification of the whole file (read once, hashed, checked) against minisign -V.
: >"$work/t-ours" >"$work/t-minisign"
for pair in $(seq 0 "$pairs"); do
  { time "${client_cpu[@]}" "$driver" --verify "$image" "$key"; } 2>>"$work/t-ours"
  { time "${client_cpu[@]}" minisign -Vq -p "$work/sign.pub" -m "$image"; } 2>>"$work/t-minisign"
done
# Pair 0 is the warm-up.
paste -d ' ' "$work/t-ours" "$work/t-minisign" | tail -n +2 | awk '{print $1 / $4}' >"$work/ratios"
for tool in ours minisign; do tail -n +2 "$work/t-$tool" | cut -d ' ' -f 1 >"$work/w-$tool"; done
printf "signature check of the %d MiB image: ours/minisign -V wall time median %.2fx (ours %.3f s, minisign %.3f s)\n" \
  "$size" "$(median "$work/ratios")" "$(median "$work/w-ours")" "$(median "$work/w-minisign")"
