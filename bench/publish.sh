#!/usr/bin/env bash
# Publishing speed alone: the update benchmark's first build (about 2.5 GiB,
# half of it compressible) published into an empty RAM-backed folder a few
# times, chunk store included. The machine may be shared, so each run shows the
# load average and the processor seconds the work took beside the wall time.
#
#   bash bench/publish.sh            after ./run build
#   PUBLISH_BENCH_RUNS=5             runs (default 3)
#   PATCHTOOL=/other/patchtool       times another build of the tool, e.g. an older one
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
PATCHTOOL=${PATCHTOOL:-$BUILD_DIR/bin/patchtool}
RUNS=${PUBLISH_BENCH_RUNS:-3}

# The update benchmark's builds when it has made them, else our own copy.
GAME=$ROOT/bench/data/update/old
if [ ! -d "$GAME" ]; then
  DATA=$ROOT/bench/data/publish
  GAME=$DATA/old
  if [ ! -d "$GAME" ]; then
    rm -rf "$DATA"
    mkdir -p "$DATA"
    "$BUILD_DIR/bench/updatebench" generate "$GAME" "$DATA/new" >/dev/null
    rm -rf "$DATA/new"
  fi
fi
bytes=$(find "$GAME" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
WORK=$(mktemp -d /dev/shm/launcher-publish-bench.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
find "$GAME" -type f -print0 | xargs -0 cat >/dev/null

echo "publish: $(awk -v b="$bytes" 'BEGIN { printf "%.1f MiB", b / 1048576 }') from $GAME"
best=0
for run in $(seq "$RUNS"); do
  load=$(cut -d ' ' -f 1 /proc/loadavg)
  /usr/bin/time -f '%e %U %S' -o "$WORK/time.txt" "$PATCHTOOL" publish "$GAME" "$WORK/out" \
    >"$WORK/log.txt" 2>&1 || { cat "$WORK/log.txt" >&2; exit 1; }
  rm -rf "$WORK/out"
  read -r wall user system <"$WORK/time.txt"
  rate=$(awk -v b="$bytes" -v s="$wall" 'BEGIN { printf "%.0f", b / s / 1e6 }')
  echo "  run $run: $wall s, $rate MB/s; $(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.1f", u + s }') processor s; load average $load before"
  best=$((rate > best ? rate : best))
done
echo "publish: publish_mb_s=$best (best of $RUNS)"
