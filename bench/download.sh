#!/usr/bin/env bash
# Download throughput: a first install through the launcher's engine (update
# check, verification, downloads with their checks, the file mover) against
# aria2c and curl fetching the same published files, all from one nginx on
# 127.0.0.1 with as many transfers at once as the engine allows: first plain
# HTTP/1.1, then HTTPS with HTTP/2 on (curl and the engine speak HTTP/2;
# aria2c has only HTTP/1.1). The certificate authority is made here and handed
# only to the processes under test. Last, an install killed half-way and run
# again shows how much the resumed install fetches a second time.
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
source "$ROOT/bench/lib/nginx.sh"
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
make_work_folder "${DOWNLOAD_BENCH_OUT:-}" "$need_kib" "$DATA" launcher-download-bench
OUT_FS=$(df --output=fstype "$WORK" | tail -n 1)
if [ "$(free_kib "$WORK")" -lt "$need_kib" ]; then
  echo "download: $(($(free_kib "$WORK") / 1024)) MiB free in $WORK, need $((need_kib / 1024))" >&2
  exit 1
fi

SLOTS=$("$BENCH" slots)
# The chunk store beside the files is not what a first install fetches.
KEYS=$(cd "$PUBLISHED" && find . -type f ! -path ./checksums.txt.gz ! -path './.chunkstore/*' -printf '%P\n' | LC_ALL=C sort)
FILES=$(printf '%s\n' "$KEYS" | wc -l)
BYTES=$(cd "$PUBLISHED" && printf '%s\n' "$KEYS" | xargs -d '\n' stat -c %s |
  awk '{ s += $1 } END { printf "%.0f", s }')

# nginx in the foreground with every path below $SERVER; stopped on exit.
PORT=$(free_port)
TLS_PORT=$(free_port)
LOG_PORT=$(free_port)
SERVER=$DATA/nginx
rm -rf "$SERVER"
mkdir -p "$SERVER/tmp" "$SERVER/tls"

# A certificate authority of this run only, and the server's certificate.
(
  cd "$SERVER/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
    -out ca.pem -days 2 -subj "/CN=Download benchmark CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key \
    -out server.csr -subj /CN=127.0.0.1
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1\n' >server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem \
    -days 2 -extfile server.ext
) >/dev/null 2>&1
CA=$SERVER/tls/ca.pem
write_nginx_conf <<EOF
  server {
    listen 127.0.0.1:$PORT;
    root $WWW;
  }
  server {
    listen 127.0.0.1:$TLS_PORT ssl http2;
    ssl_certificate tls/server.pem;
    ssl_certificate_key tls/server.key;
    root $WWW;
  }
  # The resume test's server: counts what it sends.
  server {
    listen 127.0.0.1:$LOG_PORT;
    access_log $SERVER/sent.log sent;
    root $WWW;
  }
EOF
declare -A BASE=([http]=http://127.0.0.1:$PORT/patch [https]=https://127.0.0.1:$TLS_PORT/patch)
LOG_BASE=http://127.0.0.1:$LOG_PORT/patch
start_nginx "${BASE[https]}/checksums.txt.gz" --cacert "$CA" || exit 1

# Inputs of the peers: every published file, in the same folder layout. The
# names are percent-encoded as the engine sends them ("/" kept).
ENCODED=$(printf '%s\n' "$KEYS" | python3 -c '
import sys, urllib.parse
for line in sys.stdin.read().splitlines():
    print(urllib.parse.quote(line, safe="/"))')
for proto in http https; do
  paste -d '\t' <(printf '%s\n' "$ENCODED") <(printf '%s\n' "$KEYS") |
    awk -F '\t' -v base="${BASE[$proto]}" '{ printf "%s/%s\n  out=%s\n", base, $1, $2 }' >"$DATA/aria2.$proto.txt"
  paste -d '\t' <(printf '%s\n' "$ENCODED") <(printf '%s\n' "$KEYS") |
    awk -F '\t' -v base="${BASE[$proto]}" '{ printf "url = \"%s/%s\"\noutput = \"%s\"\n", base, $1, $2 }' >"$DATA/curl.$proto.txt"
done

# Warm the page cache so nginx serves every contender from memory.
cat "$PUBLISHED"/checksums.txt.gz >/dev/null
(cd "$PUBLISHED" && printf '%s\n' "$KEYS" | xargs -d '\n' cat >/dev/null)

# The command line of one contender over a protocol, writing below $WORK/game.
command_of() {
  local tls=()
  case $1 in
    engine)
      # Trusted as curl would be told to: through SSL_CERT_FILE.
      [ "$2" = https ] && tls=(SSL_CERT_FILE="$CA")
      COMMAND=(env TMPDIR="$WORK/tmp" DOWNLOADBENCH_HOME="$WORK/tmp/home"
        DOWNLOADBENCH_MOVER_STAMP="$WORK/mover.stamp" "${tls[@]}"
        QT_QPA_PLATFORM=offscreen "$BENCH" install "${BASE[$2]}" "$WORK/game") ;;
    aria2c)
      [ "$2" = https ] && tls=(--ca-certificate="$CA")
      COMMAND=(aria2c -q -j "$SLOTS" -d "$WORK/game" -i "$DATA/aria2.$2.txt" --file-allocation=none
        --allow-overwrite=true --auto-file-renaming=false --summary-interval=0 "${tls[@]}") ;;
    curl)
      [ "$2" = https ] && tls=(--cacert "$CA" --http2)
      COMMAND=(curl -sSf --no-progress-meter --parallel --parallel-max "$SLOTS" --create-dirs
        --output-dir "$WORK/game" -K "$DATA/curl.$2.txt" "${tls[@]}") ;;
  esac
}

# One timed run: wall seconds and peak RSS (KiB, largest process of the tree)
# into RUN_SECONDS and RUN_KIB; the result must match the manifest.
timed_run() {
  local name=$1 proto=$2 start end
  rm -rf "$WORK/game" "$WORK/tmp"
  mkdir -p "$WORK/game" "$WORK/tmp/home"
  sync
  command_of "$name" "$proto"
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

declare -A seconds kib detail
for ((run = 0; run < RUNS; run++)); do
  for proto in http https; do
    for tool in engine aria2c curl; do
      timed_run "$tool" "$proto"
      key=$tool.$proto
      if [ -z "${seconds[$key]:-}" ] ||
        awk -v a="$RUN_SECONDS" -v b="${seconds[$key]}" 'BEGIN { exit !(a < b) }'; then
        seconds[$key]=$RUN_SECONDS
        [ "$tool" = engine ] && detail[$proto]=$(cat "$WORK/out.txt")
      fi
      if [ -z "${kib[$tool]:-}" ] || [ "$RUN_KIB" -gt "${kib[$tool]}" ]; then kib[$tool]=$RUN_KIB; fi
    done
  done
done

# Half-way kill: the engine installs from the counting server until half the
# build is staged, is killed, and installs again into the same folders.
staged_bytes() { du -sb --apparent-size "$WORK/tmp" 2>/dev/null | cut -f1; }
rm -rf "$WORK/game" "$WORK/tmp"
mkdir -p "$WORK/game" "$WORK/tmp/home"
: >"$SERVER/sent.log"
BASE[log]=$LOG_BASE
command_of engine log
"${COMMAND[@]}" >"$WORK/out.txt" 2>&1 &
engine_pid=$!
while kill -0 "$engine_pid" 2>/dev/null && [ "$(staged_bytes)" -lt $((BYTES / 2)) ]; do
  sleep 0.1
done
kill -9 "$engine_pid" 2>/dev/null || true
wait "$engine_pid" 2>/dev/null || true
killed_at=$(staged_bytes)
timed_run_resume() {
  command_of engine log
  /usr/bin/time -f '%M' -o "$WORK/time.txt" "${COMMAND[@]}" >"$WORK/out.txt"
  "$PATCHTOOL" verify "$MANIFEST" "$WORK/game" >"$WORK/verify.txt" 2>&1 ||
    { echo "download: the resumed install differs from the manifest" >&2; head -n 5 "$WORK/verify.txt" >&2; return 1; }
  local k
  k=$(tail -n 1 "$WORK/time.txt")
  [ "$k" -gt "${kib[engine]}" ] && kib[engine]=$k
  return 0
}
timed_run_resume
manifest_bytes=$(stat -c %s "$MANIFEST")
sent=$(awk '{ s += $1 } END { printf "%.0f", s }' "$SERVER/sent.log")
requests=$(grep -c . "$SERVER/sent.log" || true)
rm -rf "$WORK"

echo "download: $(awk -v b="$BYTES" 'BEGIN { printf "%.2f", b / 1073741824 }') GiB in $FILES files" \
  "from nginx on 127.0.0.1 into $OUT_FS $WORK," \
  "$SLOTS at once (maxConcurrentDownloads), best of $RUNS run(s); load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
declare -A best_peer
gui_stall=0
for proto in http https; do
  echo " $proto:"
  best_peer[$proto]=
  for tool in engine aria2c curl; do
    key=$tool.$proto
    awk -v n="$tool" -v s="${seconds[$key]}" -v b="$BYTES" \
      'BEGIN { printf "  %-7s %8.3f s  %7.1f MiB/s\n", n, s, b / s / 1048576 }'
    if [ "$tool" != engine ] && { [ -z "${best_peer[$proto]}" ] ||
      awk -v a="${seconds[$key]}" -v b="${best_peer[$proto]}" 'BEGIN { exit !(a < b) }'; }; then
      best_peer[$proto]=${seconds[$key]}
    fi
  done
  read -r _ check verify fetch install engine_files _ hwm stall <<<"${detail[$proto]}"
  awk -v c="$check" -v v="$verify" -v f="$fetch" -v i="$install" -v n="$engine_files" -v h="$hwm" -v s="$stall" \
    'BEGIN { printf "  engine steps: check %.3f s, verify %.3f s, download %.3f s (%d files), file mover %.3f s; engine process peak %.1f MiB; GUI thread held up at most %.1f ms\n", c, v, f, n, i, h / 1024, s }'
  gui_stall=$(awk -v a="$gui_stall" -v b="$stall" 'BEGIN { print (b > a ? b : a) }')
done
for tool in engine aria2c curl; do
  awk -v n="$tool" -v k="${kib[$tool]}" 'BEGIN { printf "  peak RSS %-7s %7.1f MiB\n", n, k / 1024 }'
done
# Sent over both runs beyond one copy of the build (the manifest, fetched twice, aside).
refetched=$(awk -v s="$sent" -v m="$manifest_bytes" -v b="$BYTES" 'BEGIN { r = (s - 2 * m - b) / b * 100; printf "%.2f", r < 0 ? 0 : r }')
echo "  resume: killed with $((killed_at / 1048576)) MiB staged; $((sent / 1048576)) MiB sent over both runs ($requests requests)"
awk -v e="${seconds[engine.http]}" -v p="${best_peer[http]}" -v he="${seconds[engine.https]}" \
  -v hp="${best_peer[https]}" -v k="${kib[engine]}" -v r="$refetched" -v s="$gui_stall" \
  'BEGIN { printf "download: ratio_vs_best_peer=%.2f https_ratio_vs_best_peer=%.2f peak_rss_mb=%.0f refetched_pct=%s gui_max_stall_ms=%.0f\n", p / e, hp / he, k / 1024, r, s }'
