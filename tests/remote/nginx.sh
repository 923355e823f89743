#!/usr/bin/env bash
# nginx on 127.0.0.1 serving DIR/www over HTTP and HTTPS, for the remote-source tests and
# benchmarks. The HTTPS certificate is signed by a throwaway CA made here (DIR/ca.pem).
# Under /flaky/ the same files are served, but a share of the requests (FLAKY_SHARE, 20% by
# default) is answered 503 Service Unavailable; under /private/ they take basic
# authentication as user tqblk, password tqblk-http-secret; under /bare/ they come without
# ETag and Last-Modified; under /trickle/ at 2 bytes/s after the first KiB. Stopped by the PID recorded.
#
#   nginx.sh start DIR   prints "http=URL https=URL cacert=FILE www=DIR"
#   nginx.sh stop DIR
set -euo pipefail
trap 'echo "nginx.sh: failed at line $LINENO" >&2' ERR

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

make_certificates() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=tqblk test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n' >"$dir/san.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 2 -extfile "$dir/san.ext" -out "$dir/server.pem" 2>/dev/null
}

start() {
  rm -rf "$dir"
  mkdir -p "$dir"/{www,tmp,log}
  make_certificates
  echo 'tqblk:{PLAIN}tqblk-http-secret' >"$dir/htpasswd"
  local http_port https_port
  http_port=$(free_port)
  https_port=$(free_port)
  cat >"$dir/nginx.conf" <<CONF
worker_processes 2;
pid $dir/nginx.pid;
error_log $dir/log/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  sendfile on;
  keepalive_requests 100000;
  split_clients "\${request_id}" \$inject_failure {
    ${FLAKY_SHARE:-20%} 1;
    * 0;
  }
  server {
    listen 127.0.0.1:$http_port;
    root $dir/www;
    location /flaky/ {
      if (\$inject_failure) { return 503; }
      alias $dir/www/;
    }
    location /bare/ { proxy_pass http://127.0.0.1:$http_port/; proxy_hide_header ETag;
                      proxy_hide_header Last-Modified; }
    location /trickle/ { limit_rate_after 1k; limit_rate 2; alias $dir/www/; }
    location /private/ { auth_basic tqblk; auth_basic_user_file $dir/htpasswd; alias $dir/www/; }
  }
  server {
    listen 127.0.0.1:$https_port ssl;
    ssl_certificate $dir/server.pem;
    ssl_certificate_key $dir/server.key;
    root $dir/www;
  }
}
CONF
  echo "$http_port" >"$dir/http-port"
  launch
  echo "http=http://127.0.0.1:$http_port https=https://127.0.0.1:$https_port" \
    "cacert=$dir/ca.pem www=$dir/www"
}

launch() {
  nginx -p "$dir" -c "$dir/nginx.conf" -g 'daemon off;' >"$dir/log/nginx.out" 2>&1 &
  echo $! >"$dir/pid"
  local deadline=$((SECONDS + 20))
  until curl -s -o /dev/null "http://127.0.0.1:$(cat "$dir/http-port")/"; do
    if [ "$SECONDS" -ge "$deadline" ] || ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
      echo "nginx.sh: nginx did not start:" >&2
      cat "$dir/log/nginx.out" "$dir/log/error.log" >&2 || true
      return 1
    fi
    sleep 0.1
  done
}

stop() {
  [ -f "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  kill -TERM "$pid" 2>/dev/null || true
  while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
  rm -f "$dir/pid"
}

[ $# -eq 2 ] || { echo "usage: $0 start|stop|restart DIR" >&2; exit 2; }
dir=$(realpath -m "$2")
case "$1" in
  start) start ;;
  stop) stop ;;
  restart) launch ;;  # after stop: the same ports, files and certificates
  *) echo "usage: $0 start|stop|restart DIR" >&2; exit 2 ;;
esac
