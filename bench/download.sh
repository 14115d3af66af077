#!/usr/bin/env bash
# Download throughput: a first install through the launcher's engine (update
# check, verification, downloads with their checks, the file mover) against
# aria2c and curl fetching the same published files, all from one nginx on
# 127.0.0.1 with as many transfers at once as the engine allows.
# Run through ./run bench download (which builds first).
#
# Downloads land in a RAM-backed folder when one has room: on this shared disk,
# creating thousands of files right after deleting the previous contender's
# copy costs every contender seconds (ext4 skips recently freed inodes), and
# writeback throttling adds noise, so a disk mostly times itself.
# DOWNLOAD_BENCH_OUT=<folder> picks another place, and
# DOWNLOAD_BENCH_RUNS=<n> keeps each contender's best of n interleaved rounds.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
source "$ROOT/bench/lib/gamedata.sh"
DATA=$ROOT/bench/data/download
WWW=$DATA/www
PUBLISHED=$WWW/patch
RUNS=${DOWNLOAD_BENCH_RUNS:-1}
BENCH=$BUILD_DIR/bench/downloadbench
PATCHTOOL=$BUILD_DIR/bin/patchtool

if [ ! -x "$BENCH" ]; then
  echo "download: this build has no update engine (launcher/engine) to time" >&2
  exit 1
fi

ensure_game_data
if [ ! -s "$PUBLISHED/checksums.txt.gz" ] || [ "$GAME_DATA/layout" -nt "$PUBLISHED/checksums.txt.gz" ]; then
  rm -rf "$PUBLISHED"
  "$PATCHTOOL" publish "$GAME" "$PUBLISHED" >&2
fi
MANIFEST=$PUBLISHED/checksums.txt.gz

# One downloaded copy at a time, deleted after each contender.
need_kib=$(($(du -sk "$PUBLISHED" | cut -f1) + 1048576))
free_kib() { df -Pk "$1" | awk 'NR == 2 { print $4 }'; }
if [ -n "${DOWNLOAD_BENCH_OUT:-}" ]; then
  OUT=$DOWNLOAD_BENCH_OUT
elif [ -d /dev/shm ] && [ "$(free_kib /dev/shm)" -gt "$need_kib" ]; then
  OUT=/dev/shm
else
  OUT=$DATA
fi
WORK=$OUT/launcher-download-bench.$$
NGINX_PID=
cleanup() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK"
OUT_FS=$(df --output=fstype "$WORK" | tail -n 1)
if [ "$(free_kib "$WORK")" -lt "$need_kib" ]; then
  echo "download: $(($(free_kib "$WORK") / 1024)) MiB free in $WORK, need $((need_kib / 1024))" >&2
  exit 1
fi

SLOTS=$("$BENCH" slots)
KEYS=$(cd "$PUBLISHED" && find . -type f ! -path ./checksums.txt.gz -printf '%P\n' | LC_ALL=C sort)
FILES=$(printf '%s\n' "$KEYS" | wc -l)
BYTES=$(cd "$PUBLISHED" && printf '%s\n' "$KEYS" | xargs -d '\n' stat -c %s |
  awk '{ s += $1 } END { printf "%.0f", s }')

# nginx in the foreground with every path below $SERVER; stopped on exit.
PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
SERVER=$DATA/nginx
rm -rf "$SERVER"
mkdir -p "$SERVER/tmp"
cat >"$SERVER/nginx.conf" <<EOF
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
  server {
    listen 127.0.0.1:$PORT;
    root $WWW;
  }
}
EOF
nginx -p "$SERVER/" -c nginx.conf -e stderr 2>"$SERVER/error.log" &
NGINX_PID=$!
BASE=http://127.0.0.1:$PORT/patch
for ((i = 0; i < 100; i++)); do
  curl -sf -o /dev/null "$BASE/checksums.txt.gz" && break
  kill -0 "$NGINX_PID" 2>/dev/null || { cat "$SERVER/error.log" >&2; exit 1; }
  sleep 0.1
done
curl -sf -o /dev/null "$BASE/checksums.txt.gz" || { echo "download: nginx did not answer" >&2; exit 1; }

# Inputs of the peers: every published file, in the same folder layout.
ARIA2_LIST=$DATA/aria2.txt
CURL_LIST=$DATA/curl.txt
printf '%s\n' "$KEYS" | awk -v base="$BASE" '{ printf "%s/%s\n  out=%s\n", base, $0, $0 }' >"$ARIA2_LIST"
printf '%s\n' "$KEYS" | awk -v base="$BASE" '{ printf "url = \"%s/%s\"\noutput = \"%s\"\n", base, $0, $0 }' >"$CURL_LIST"

# Warm the page cache so nginx serves every contender from memory.
cat "$PUBLISHED"/checksums.txt.gz >/dev/null
(cd "$PUBLISHED" && printf '%s\n' "$KEYS" | xargs -d '\n' cat >/dev/null)

# The command line of one contender, writing below $WORK/game.
command_of() {
  case $1 in
    engine) COMMAND=(env TMPDIR="$WORK/tmp" DOWNLOADBENCH_MOVER_STAMP="$WORK/mover.stamp"
      QT_QPA_PLATFORM=offscreen "$BENCH" install "$BASE" "$WORK/game") ;;
    aria2c) COMMAND=(aria2c -q -j "$SLOTS" -d "$WORK/game" -i "$ARIA2_LIST" --file-allocation=none
      --allow-overwrite=true --auto-file-renaming=false --summary-interval=0) ;;
    curl) COMMAND=(curl -sSf --no-progress-meter --parallel --parallel-max "$SLOTS" --create-dirs
      --output-dir "$WORK/game" -K "$CURL_LIST") ;;
  esac
}

# One timed run: wall seconds and peak RSS (KiB, largest process of the tree)
# into RUN_SECONDS and RUN_KIB; the result must match the manifest.
timed_run() {
  local name=$1 start end
  rm -rf "$WORK/game" "$WORK/tmp"
  mkdir -p "$WORK/game" "$WORK/tmp"
  sync
  command_of "$name"
  start=$(date +%s%N)
  if ! /usr/bin/time -f '%M' -o "$WORK/time.txt" "${COMMAND[@]}" >"$WORK/out.txt"; then
    echo "download: $name failed" >&2
    return 1
  fi
  end=$(date +%s%N)
  RUN_SECONDS=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
  RUN_KIB=$(tail -n 1 "$WORK/time.txt")
  if ! "$PATCHTOOL" verify "$MANIFEST" "$WORK/game" >"$WORK/verify.txt" 2>&1; then
    echo "download: $name left files that differ from the manifest:" >&2
    head -n 5 "$WORK/verify.txt" >&2
    return 1
  fi
}

declare -A seconds kib
engine_detail=
for ((run = 0; run < RUNS; run++)); do
  for tool in engine aria2c curl; do
    timed_run "$tool"
    if [ -z "${seconds[$tool]:-}" ] ||
      awk -v a="$RUN_SECONDS" -v b="${seconds[$tool]}" 'BEGIN { exit !(a < b) }'; then
      seconds[$tool]=$RUN_SECONDS
      [ "$tool" = engine ] && engine_detail=$(cat "$WORK/out.txt")
    fi
    if [ -z "${kib[$tool]:-}" ] || [ "$RUN_KIB" -gt "${kib[$tool]}" ]; then kib[$tool]=$RUN_KIB; fi
  done
done
rm -rf "$WORK"

echo "download: $(awk -v b="$BYTES" 'BEGIN { printf "%.2f", b / 1073741824 }') GiB in $FILES files" \
  "from nginx on 127.0.0.1 into $OUT_FS $WORK," \
  "$SLOTS at once (maxConcurrentDownloads), best of $RUNS run(s)"
best_peer=
for tool in engine aria2c curl; do
  awk -v n="$tool" -v s="${seconds[$tool]}" -v k="${kib[$tool]}" -v b="$BYTES" \
    'BEGIN { printf "  %-7s %8.3f s  %7.1f MiB/s  peak RSS %7.1f MiB\n", n, s, b / s / 1048576, k / 1024 }'
  if [ "$tool" != engine ] && { [ -z "$best_peer" ] ||
    awk -v a="${seconds[$tool]}" -v b="$best_peer" 'BEGIN { exit !(a < b) }'; }; then
    best_peer=${seconds[$tool]}
  fi
done
read -r _ check verify fetch install engine_files _ hwm <<<"$engine_detail"
awk -v c="$check" -v v="$verify" -v f="$fetch" -v i="$install" -v n="$engine_files" -v h="$hwm" \
  'BEGIN { printf "  engine steps: check %.3f s, verify %.3f s, download %.3f s (%d files), file mover %.3f s; engine process peak %.1f MiB\n", c, v, f, n, i, h / 1024 }'
awk -v e="${seconds[engine]}" -v p="$best_peer" -v k="${kib[engine]}" \
  'BEGIN { printf "download: ratio_vs_best_peer=%.2f peak_rss_mb=%.0f\n", p / e, k / 1024 }'
