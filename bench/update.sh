#!/usr/bin/env bash
# Update benchmark: two generated builds of a game (the second made like a real
# patch: assets replaced and inserted inside large archives, textures replaced,
# scripts rewritten, files added, removed and renamed), published one after the
# other into one folder as a studio would, and once more without the chunk
# store. It times publishing (with and without the store) and weighs the store
# against zstd's size of the builds' unique content. Then nginx on loopback
# serves both folders with every request capped to UPDATE_BENCH_CAP bytes a
# second (nginx's limit_rate, default 16m), a player's link, and times in one
# run: the engine's first install against curl fetching the raw files with as
# many transfers at once, and the engine's update against today's whole-file
# update from the folder without the store. Bytes fetched are what nginx sent.
# Run through ./run bench update (which builds first).
#
# UPDATE_BENCH_OUT=<folder> works there instead of a RAM-backed folder (the
# default when it has room for about six copies of a build), and
# UPDATE_BENCH_SIZES=1 also prints what each average chunk size would cost (a
# few minutes more).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
BENCH=$BUILD_DIR/bench/updatebench
PATCHTOOL=$BUILD_DIR/bin/patchtool
ENGINE=$BUILD_DIR/bench/downloadbench
CAP=${UPDATE_BENCH_CAP:-16m}
DATA=$ROOT/bench/data/update
source "$ROOT/bench/lib/nginx.sh"
LAYOUT=1 # bump when updatedata.cpp changes the builds

if [ "$(cat "$DATA/layout" 2>/dev/null)" != "$LAYOUT" ]; then
  rm -rf "$DATA"
  mkdir -p "$DATA"
  "$BENCH" generate "$DATA/old" "$DATA/new" >"$DATA/figures.txt"
  echo "$LAYOUT" >"$DATA/layout"
fi
read -r raw_old raw_new changed changed_whole _ <<<"$(tr ' ' '\n' <"$DATA/figures.txt" | cut -d= -f2 | tr '\n' ' ')"

# Published twice, two installed copies, staging and curl's copy at the peak.
need_kib=$((raw_old * 6 / 1024 + 1048576))
make_work_folder "${UPDATE_BENCH_OUT:-}" "$need_kib" "$DATA" launcher-update-bench
PUBLISHED=$WORK/patch
PLAIN=$WORK/plain

# Warm the page cache: publishing is timed, not the disk the builds sit on.
find "$DATA/old" "$DATA/new" -type f -print0 | xargs -0 cat >/dev/null

# Wall seconds of a command; its processor seconds (user + system) go to CPU_S.
seconds_of() {
  /usr/bin/time -f '%e %U %S' -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>&1 ||
    { cat "$WORK/out.txt" >&2; return 1; }
  awk '{ printf "%.2f", $1 }' "$WORK/time.txt"
}
cpu_of() { awk '{ printf "%.2f", $2 + $3 }' "$WORK/time.txt"; }
plain_s=$(seconds_of "$PATCHTOOL" publish --no-chunks "$DATA/old" "$PLAIN")
plain_cpu=$(cpu_of)
first_s=$(seconds_of "$PATCHTOOL" publish "$DATA/old" "$PUBLISHED")
first_cpu=$(cpu_of)
cp "$PUBLISHED/checksums.txt.gz" "$WORK/old.manifest"

# nginx: a capped server that notes what it sends, and an uncapped one that
# only sets up the game folder today's update starts from.
PORT=$(free_port)
SETUP_PORT=$(free_port)
SERVER=$WORK/nginx
write_nginx_conf <<EOF
  server {
    listen 127.0.0.1:$PORT;
    limit_rate $CAP;
    access_log $SERVER/sent.log sent;
    root $WORK;
  }
  server {
    listen 127.0.0.1:$SETUP_PORT;
    root $WORK;
  }
EOF
BASE=http://127.0.0.1:$PORT
start_nginx "$BASE/patch/checksums.txt.gz" || exit 1

SLOTS=$("$ENGINE" slots)
# The engine installs or updates the game folder $2 from $1 as the player
# whose home is $3: wall seconds into RUN_S, what nginx sent into RUN_BYTES.
engine_run() {
  local url=$1 game=$2 home=$3 start end
  mkdir -p "$game" "$home/tmp"
  : >"$SERVER/sent.log"
  start=$(date +%s%N)
  env TMPDIR="$home/tmp" DOWNLOADBENCH_HOME="$home" DOWNLOADBENCH_MOVER_STAMP="$WORK/mover.stamp" \
    QT_QPA_PLATFORM=offscreen "$ENGINE" install "$url" "$game" >"$WORK/engine.txt" 2>"$WORK/engine.log" ||
    { cat "$WORK/engine.log" >&2; echo "update: the engine failed on $url" >&2; exit 1; }
  # The engine's own count of what it fetched (its progress total) beside nginx's.
  RUN_COUNTED=$(cut -d ' ' -f 7 "$WORK/engine.txt")
  RUN_STALL=$(cut -d ' ' -f 9 "$WORK/engine.txt")
  end=$(date +%s%N)
  RUN_S=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
  RUN_BYTES=$(awk '{ s += $1 } END { printf "%.0f", s }' "$SERVER/sent.log")
}
same_as() {
  "$PATCHTOOL" verify "$1" "$2" >"$WORK/verify.txt" 2>&1 ||
    { echo "update: $2 differs from its manifest" >&2; head -n 5 "$WORK/verify.txt" >&2; exit 1; }
}

find "$PUBLISHED" -type f -print0 | xargs -0 cat >/dev/null
engine_run "$BASE/patch" "$WORK/game" "$WORK/home"
install_s=$RUN_S install_bytes=$RUN_BYTES install_counted=$RUN_COUNTED install_stall=$RUN_STALL
same_as "$WORK/old.manifest" "$WORK/game"
# curl: the raw files, as many at once, under the same cap.
(cd "$PUBLISHED" && find . -type f ! -path ./checksums.txt.gz ! -path './.chunkstore/*' -printf '%P\n') |
  LC_ALL=C sort |
  python3 -c 'import sys, urllib.parse
for line in sys.stdin:
    path = line.rstrip("\n")
    print("url = \"%s/%s\"" % (sys.argv[1], urllib.parse.quote(path)))
    print("output = \"%s\"" % path.replace("\\", "\\\\").replace("\"", "\\\""))' \
    "$BASE/patch" >"$WORK/curl.txt"
mkdir -p "$WORK/curl"
start=$(date +%s%N)
curl -sSf --no-progress-meter --parallel --parallel-max "$SLOTS" --create-dirs \
  --output-dir "$WORK/curl" -K "$WORK/curl.txt"
end=$(date +%s%N)
curl_s=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
same_as "$WORK/old.manifest" "$WORK/curl"
rm -rf "$WORK/curl"
engine_run "http://127.0.0.1:$SETUP_PORT/plain" "$WORK/game-whole" "$WORK/home-whole"

second_s=$(seconds_of "$PATCHTOOL" publish "$DATA/new" "$PUBLISHED")
second_out=$(cat "$WORK/out.txt")
cp "$PUBLISHED/checksums.txt.gz" "$WORK/new.manifest"
"$PATCHTOOL" publish --no-chunks "$DATA/new" "$PLAIN" >"$WORK/out.txt" 2>&1 ||
  { cat "$WORK/out.txt" >&2; exit 1; }
engine_run "$BASE/patch" "$WORK/game" "$WORK/home"
update_s=$RUN_S update_bytes=$RUN_BYTES update_stall=$RUN_STALL
same_as "$WORK/new.manifest" "$WORK/game"
engine_run "$BASE/plain" "$WORK/game-whole" "$WORK/home-whole"
whole_s=$RUN_S whole_bytes=$RUN_BYTES
same_as "$WORK/new.manifest" "$WORK/game-whole"

store=$(du -sb --apparent-size "$PUBLISHED/.chunkstore" | cut -f1)
store_files=$(find "$PUBLISHED/.chunkstore" -type f | wc -l)
store_disk=$(du -sb "$PUBLISHED/.chunkstore" | cut -f1)
read -r zstd_old zstd_both <<<"$("$BENCH" zstd | tr ' ' '\n' | cut -d= -f2 | tr '\n' ' ')"
read -r install update update_chunks _ <<<"$("$BENCH" plan "$PUBLISHED" "$WORK/old.manifest" "$WORK/new.manifest" |
  tr ' ' '\n' | cut -d= -f2 | tr '\n' ' ')"
# Today's launcher: the changed files whole, uncompressed, and the manifest.
whole=$((changed_whole + $(stat -c %s "$WORK/new.manifest")))

mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
echo "update: build 1 $(mib "$raw_old"), build 2 $(mib "$raw_new"); the patch changed $(mib "$changed")" \
  "in files of $(mib "$changed_whole"); published into $(df --output=fstype "$WORK" | tail -n 1);" \
  "load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
# Processor time tells what the work costs when other jobs share the two cores.
awk -v r="$raw_old" -v p="$plain_s" -v f="$first_s" -v n="$raw_new" -v s="$second_s" \
  -v fc="$first_cpu" -v pc="$plain_cpu" 'BEGIN {
  printf "  publish build 1: %.1f s with the chunk store (%.0f MB/s; %.1f processor s), %.1f s without (%.0f MB/s; %.1f processor s)\n", f, r / f / 1e6, fc, p, r / p / 1e6, pc
  printf "  publish build 2 into the same folder: %.1f s (%.0f MB/s)\n", s, n / s / 1e6 }'
echo "  $(grep '^chunk store' <<<"$second_out")"
echo "  store: $(mib "$store") in $store_files files ($(mib "$store_disk") on disk); zstd of the unique content $(mib "$zstd_both")"
echo "  planned from the indexes: first install $(mib "$install") by chunks (zstd of build 1: $(mib "$zstd_old"));" \
  "update $(mib "$update") ($update_chunks chunks), $(mib "$whole") by whole files"
echo "  served by nginx, $SLOTS transfers at once, each capped at $CAP bytes/s:"
echo "    first install: engine $install_s s fetching $(mib "$install_bytes") (its progress counted $(mib "$install_counted"));" \
  "curl of the raw files $curl_s s"
echo "    update: engine $update_s s fetching $(mib "$update_bytes"); today's whole files $whole_s s fetching $(mib "$whole_bytes")"
echo "    the engine's GUI thread held up at most $install_stall ms (install), $update_stall ms (update)"
if [ -n "${UPDATE_BENCH_SIZES:-}" ]; then
  echo "  by average chunk size (bytes):"
  "$BENCH" sizes "$DATA/old" "$DATA/new" | sed 's/^/    /'
fi
awk -v u="$update_bytes" -v c="$changed" -v w="$whole_bytes" -v i="$install_bytes" -v r="$raw_old" \
  -v s="$store" -v zb="$zstd_both" -v f="$first_s" -v ts="$install_s" -v tc="$curl_s" 'BEGIN {
  printf "update: bytes_vs_changed=%.2f update_vs_whole_files=%.3f first_install_bytes_vs_raw=%.3f install_time_vs_curl=%.2f store_vs_zstd=%.3f publish_mb_s=%.0f\n",
    u / c, u / w, i / r, tc / ts, s / zb, r / f / 1e6 }'
