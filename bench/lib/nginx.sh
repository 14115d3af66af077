# Sourced by the benchmarks: nginx in the foreground on loopback, as the user
# running the benchmark, with every path below the folder $SERVER.

free_kib() { df -Pk "$1" | awk 'NR == 2 { print $4 }'; }

# Sets WORK to this run's folder, removed with nginx on exit: below $1 when
# given, else in RAM when /dev/shm has $2 KiB free, else below $3.
make_work_folder() {
  local base=$1
  if [ -z "$base" ]; then
    if [ -d /dev/shm ] && [ "$(free_kib /dev/shm)" -gt "$2" ]; then base=/dev/shm; else base=$3; fi
  fi
  WORK=$base/$4.$$
  NGINX_PID=
  trap stop_nginx_and_clean EXIT
  mkdir -p "$WORK"
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Writes $SERVER/nginx.conf: the settings every benchmark shares, then the
# server blocks read from standard input. `log_format sent` notes the body
# bytes of each answer.
write_nginx_conf() {
  mkdir -p "$SERVER/tmp"
  {
    cat <<'EOF'
daemon off;
master_process off;
worker_processes 1;
pid nginx.pid;
error_log stderr;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path tmp/body;
  proxy_temp_path tmp/proxy;
  fastcgi_temp_path tmp/fastcgi;
  uwsgi_temp_path tmp/uwsgi;
  scgi_temp_path tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  log_format sent $body_bytes_sent;
EOF
    cat
    echo '}'
  } >"$SERVER/nginx.conf"
}

# Starts nginx (NGINX_PID) and waits until it answers for the URL $1 (further
# arguments go to curl); the caller stops it.
start_nginx() {
  local url=$1 i
  shift
  nginx -p "$SERVER/" -c nginx.conf -e stderr 2>"$SERVER/error.log" &
  NGINX_PID=$!
  for ((i = 0; i < 100; i++)); do
    curl -sf -o /dev/null "$@" "$url" && return 0
    kill -0 "$NGINX_PID" 2>/dev/null || break
    sleep 0.1
  done
  curl -sf -o /dev/null "$@" "$url" && return 0
  cat "$SERVER/error.log" >&2
  echo "nginx did not answer at $url" >&2
  return 1
}

# For `trap ... EXIT`: stops nginx if it was started, and removes the run's folder $WORK.
stop_nginx_and_clean() {
  if [ -n "${NGINX_PID:-}" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
