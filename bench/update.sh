#!/usr/bin/env bash
# Update benchmark: two generated builds of a game (the second made like a real
# patch: assets replaced and inserted inside large archives, textures replaced,
# scripts rewritten, files added, removed and renamed), published one after the
# other into one folder as a studio would. It times publishing (with and
# without the chunk store), weighs the store against zstd's size of the builds'
# unique content, and counts from the two indexes what a first install and the
# update fetch by chunks against what whole files cost.
# Run through ./run bench update (which builds first).
#
# UPDATE_BENCH_OUT=<folder> publishes there instead of a RAM-backed folder (the
# default when it has room), and UPDATE_BENCH_SIZES=1 also prints what each
# average chunk size would cost (a few minutes more).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
BENCH=$BUILD_DIR/bench/updatebench
PATCHTOOL=$BUILD_DIR/bin/patchtool
DATA=$ROOT/bench/data/update
LAYOUT=1 # bump when updatedata.cpp changes the builds

if [ "$(cat "$DATA/layout" 2>/dev/null)" != "$LAYOUT" ]; then
  rm -rf "$DATA"
  mkdir -p "$DATA"
  "$BENCH" generate "$DATA/old" "$DATA/new" >"$DATA/figures.txt"
  echo "$LAYOUT" >"$DATA/layout"
fi
read -r raw_old raw_new changed changed_whole _ <<<"$(tr ' ' '\n' <"$DATA/figures.txt" | cut -d= -f2 | tr '\n' ' ')"

free_kib() { df -Pk "$1" | awk 'NR == 2 { print $4 }'; }
need_kib=$(((raw_old + raw_new) / 1024 + 1048576))
if [ -n "${UPDATE_BENCH_OUT:-}" ]; then
  OUT=$UPDATE_BENCH_OUT
elif [ "$(free_kib /dev/shm)" -gt "$need_kib" ]; then
  OUT=/dev/shm
else
  OUT=$DATA
fi
WORK=$OUT/launcher-update-bench.$$
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK"
PUBLISHED=$WORK/patch

# Warm the page cache: publishing is timed, not the disk the builds sit on.
find "$DATA/old" "$DATA/new" -type f -print0 | xargs -0 cat >/dev/null

# Wall seconds of a command; its processor seconds (user + system) go to CPU_S.
seconds_of() {
  /usr/bin/time -f '%e %U %S' -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>&1 ||
    { cat "$WORK/out.txt" >&2; return 1; }
  awk '{ printf "%.2f", $1 }' "$WORK/time.txt"
}
cpu_of() { awk '{ printf "%.2f", $2 + $3 }' "$WORK/time.txt"; }
plain_s=$(seconds_of "$PATCHTOOL" publish --no-chunks "$DATA/old" "$WORK/plain")
plain_cpu=$(cpu_of)
rm -rf "$WORK/plain"
first_s=$(seconds_of "$PATCHTOOL" publish "$DATA/old" "$PUBLISHED")
first_cpu=$(cpu_of)
cp "$PUBLISHED/checksums.txt.gz" "$WORK/old.manifest"
second_s=$(seconds_of "$PATCHTOOL" publish "$DATA/new" "$PUBLISHED")
second_out=$(cat "$WORK/out.txt")
cp "$PUBLISHED/checksums.txt.gz" "$WORK/new.manifest"

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
echo "  first install fetches $(mib "$install") by chunks (zstd of build 1: $(mib "$zstd_old"))"
echo "  update fetches $(mib "$update") by chunks ($update_chunks chunks), $(mib "$whole") by whole files"
if [ -n "${UPDATE_BENCH_SIZES:-}" ]; then
  echo "  by average chunk size (bytes):"
  "$BENCH" sizes "$DATA/old" "$DATA/new" | sed 's/^/    /'
fi
awk -v u="$update" -v c="$changed" -v w="$whole" -v i="$install" -v r="$raw_old" -v zo="$zstd_old" \
  -v s="$store" -v zb="$zstd_both" -v f="$first_s" 'BEGIN {
  printf "update: bytes_vs_changed=%.2f update_vs_whole_files=%.3f first_install_bytes_vs_raw=%.3f (zstd %.3f) install_time_vs_curl=n/a store_vs_zstd=%.3f publish_mb_s=%.0f\n",
    u / c, u / w, i / r, zo / r, s / zb, r / f / 1e6 }'
