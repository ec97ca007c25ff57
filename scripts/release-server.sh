#!/usr/bin/env bash
# A local release server for the setup: nginx over HTTPS on 127.0.0.1, run as the current
# user, serving the disk images and their signatures, two small web pages and stand-ins for the two Measurement
# Protocol paths, whose request bodies it writes to its access log with whether the answer
# went out whole (completion="OK").
# Usage:
#   scripts/release-server.sh cert DIR          CA and server certificate in DIR, made once
#   scripts/release-server.sh start DIR PORT IMAGE_DIR LOG_DIR [RATE]
#   scripts/release-server.sh stop DIR
# DIR holds the certificates, the configuration, the pid file and nginx's temporary files;
# DIR/ca.pem is the CA to trust. RATE (nginx syntax, e.g. 1k) slows the images down so that
# the progress can be watched.
set -euo pipefail
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

usage() { sed -n 's/^#   scripts/usage: scripts/p' "$0" >&2; exit 2; }

make_cert() { # dir
  local dir=$1
  mkdir -p "$dir"
  # Kept while the server certificate is good for another day.
  if [ -f "$dir/ca.pem" ] && openssl x509 -checkend 86400 -noout -in "$dir/server.pem" \
    >/dev/null 2>&1; then
    return
  fi
  openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 3650 -subj '/CN=Quorvel local release CA' \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/server.key" -subj /CN=127.0.0.1 2>/dev/null |
    openssl x509 -req -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -days 825 \
      -set_serial "0x$(openssl rand -hex 8)" -out "$dir/server.pem" \
      -extfile <(printf '%s\n' subjectAltName=IP:127.0.0.1 extendedKeyUsage=serverAuth \
        basicConstraints=CA:FALSE) 2>/dev/null
  chmod 600 "$dir/ca.key" "$dir/server.key"
}

stop_server() { # dir
  local pid_file=$1/nginx.pid pid
  [ -s "$pid_file" ] || return 0
  pid=$(cat "$pid_file")
  # Only the nginx of this folder: the pid may have been reused since.
  if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF "$1/nginx.conf"; then
    kill -TERM "$pid"
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pid_file"
}

write_site() { # www
  mkdir -p "$1/privacy-policy" "$1/user-license-agreement"
  page() { # file title text
    printf '<!doctype html>\n<html lang="en"><meta charset="utf-8"><title>%s</title>\n<h1>%s</h1>\n<p>%s</p>\n</html>\n' \
      "$2" "$2" "$3" >"$1"
  }
  page "$1/index.html" 'Quorvel' 'The local release server of Quorvel Setup.'
  page "$1/privacy-policy/index.html" 'Quorvel Privacy Policy' \
    'A stand-in page served by the local release server.'
  page "$1/user-license-agreement/index.html" 'Quorvel User License Agreement' \
    'A stand-in page served by the local release server.'
}

start_server() { # dir port image-dir log-dir [rate]
  local dir port images logs rate
  dir=$(realpath "$1") port=$2 images=$(realpath "$3") logs=$(realpath -m "$4") rate=${5:-0}
  [ -f "$images/quorvel.dmg" ] || { echo "release-server: no quorvel.dmg in $images" >&2; exit 1; }
  make_cert "$dir"
  stop_server "$dir"
  mkdir -p "$dir/tmp" "$logs"
  write_site "$dir/www"
  cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $logs/error.log;
$( # As root, nginx would hand the requests to "nobody", who may not read the build tree.
  [ "$(id -u)" -eq 0 ] && echo "user root;")
events {}
http {
  types { text/html html; application/octet-stream dmg; }
  default_type application/octet-stream;
  log_format release escape=json
    '\$time_iso8601 "\$request" \$status \$body_bytes_sent "\$http_user_agent" '
    'range="\$http_range" if_range="\$http_if_range" body="\$request_body" '
    'completion="\$request_completion"';
  access_log $logs/access.log release;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;

  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $dir/server.pem;
    ssl_certificate_key $dir/server.key;
    root $dir/www;
    # nginx reads a request body, and so can log it, only for a request it passes on: the
    # Measurement Protocol posts are passed to this server's own stand-in answers.
    location ~ ^/(debug/)?mp/collect\$ {
      proxy_pass https://127.0.0.1:$port/answer\$uri;
      # Their answers (100 to 200 bytes) come a second late, as from a collector far away:
      # the first 100 bytes at once, the rest a second later.
      limit_rate 100;
    }
    location = /answer/mp/collect {
      access_log off;
      return 204;
    }
    location = /answer/debug/mp/collect {
      access_log off;
      default_type application/json;
      return 200 '{"validationMessages":[]}\n';
    }
    location ~ ^/quorvel(\.silicon)?\.dmg(\.minisig)?\$ {
      root $images;
      limit_rate $rate;
    }
  }
}
CONF
  # -e: nginx opens its error log before it reads the configuration.
  if ! nginx -e "$logs/error.log" -p "$dir" -c "$dir/nginx.conf"; then
    echo "release-server: nginx did not start; see $logs/error.log" >&2
    exit 1
  fi
  for _ in $(seq 50); do
    curl -fsS -o /dev/null --cacert "$dir/ca.pem" "https://127.0.0.1:$port/" 2>/dev/null && return
    sleep 0.1
  done
  echo "release-server: no answer on https://127.0.0.1:$port/; see $logs/error.log" >&2
  stop_server "$dir"
  exit 1
}

case ${1:-} in
  cert) [ $# -eq 2 ] || usage; make_cert "$2" ;;
  start) { [ $# -ge 5 ] && [ $# -le 6 ]; } || usage; start_server "${@:2}" ;;
  stop) [ $# -eq 2 ] || usage; stop_server "$(realpath -m "$2")" ;;
  *) usage ;;
esac
