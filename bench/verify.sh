#!/usr/bin/env bash
# Verification throughput: the launcher's engine against the tools a user would
# reach for, over one generated installation with a warm page cache; then the
# launcher's start-up check of the unchanged installation.
# Run through ./run bench verify (which builds first).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
source "$ROOT/bench/lib/gamedata.sh"
DATA=$GAME_DATA
MANIFEST=$DATA/manifest
RUNS=${VERIFY_BENCH_RUNS:-3}
BENCH=$BUILD_DIR/bench/verifybench
PATCHTOOL=$BUILD_DIR/bin/patchtool

ensure_game_data
if [ ! -s "$MANIFEST/checksums.txt.gz" ] || [ "$DATA/layout" -nt "$MANIFEST/checksums.txt.gz" ]; then
  "$PATCHTOOL" publish --manifest-only "$GAME" "$MANIFEST" >&2
fi

FILES=$(find "$GAME" -type f | wc -l)
BYTES=$(find "$GAME" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')
# Warm the page cache so every contender reads from memory.
find "$GAME" -type f -print0 | xargs -0 cat >/dev/null

run_rhash() { rhash --crc32 -r "$GAME"; }
run_7z() { 7z h -scrcCRC32 -r "$GAME"; }
run_cksfv() { find "$GAME" -type f -print0 | xargs -0 cksfv; }
run_cat() { find "$GAME" -type f -print0 | xargs -0 cat; }

# Best wall time of RUNS runs, in seconds.
best_seconds() {
  local best=0 start end elapsed i
  for ((i = 0; i < RUNS; i++)); do
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    elapsed=$((end - start))
    if [ "$best" -eq 0 ] || [ "$elapsed" -lt "$best" ]; then best=$elapsed; fi
  done
  awk -v ns="$best" 'BEGIN { printf "%.6f", ns / 1e9 }'
}

gbps() { awk -v b="$BYTES" -v s="$1" 'BEGIN { printf "%.2f", b / s / 1e9 }'; }

echo "verify: $(awk -v b="$BYTES" 'BEGIN { printf "%.2f", b / 1e9 }') GB in $FILES files, page cache warm, best of $RUNS runs"

set +e
engine_output=$(QT_QPA_PLATFORM=offscreen "$BENCH" engine "$GAME" "$MANIFEST" "$RUNS")
engine_status=$?
set -e
if [ $engine_status -eq 3 ]; then
  echo "verify: this build has no update engine (launcher/engine) to time" >&2
  exit 1
elif [ $engine_status -ne 0 ]; then
  echo "verify: the engine's run failed (status $engine_status)" >&2
  exit 1
fi
engine_seconds=${engine_output%% *}
engine_files=${engine_output##* }
if [ "$engine_files" -ne "$FILES" ]; then
  echo "verify: the engine checked $engine_files files of $FILES" >&2
  exit 1
fi

declare -A seconds
seconds[rhash]=$(best_seconds run_rhash)
seconds[7z]=$(best_seconds run_7z)
seconds[cksfv]=$(best_seconds run_cksfv)
seconds[cat]=$(best_seconds run_cat)

printf '  %-8s %8.3f s  %6s GB/s\n' engine "$engine_seconds" "$(gbps "$engine_seconds")"
best_peer=
for tool in rhash 7z cksfv; do
  printf '  %-8s %8.3f s  %6s GB/s\n' "$tool" "${seconds[$tool]}" "$(gbps "${seconds[$tool]}")"
  if [ -z "$best_peer" ] || awk -v a="${seconds[$tool]}" -v b="$best_peer" 'BEGIN { exit !(a < b) }'; then
    best_peer=${seconds[$tool]}
  fi
done
printf '  %-8s %8.3f s  %6s GB/s\n' cat "${seconds[cat]}" "$(gbps "${seconds[cat]}")"

# The automatic check of the unchanged install (trusting the record a full check
# wrote) against the full check and the bare walk that looks at each file's
# size, time and identity. As root the page cache is dropped before every run.
check_home=$DATA/home
mkdir -p "$check_home"
run_check() {
  HOME=$check_home XDG_CONFIG_HOME=$check_home/.config XDG_DATA_HOME=$check_home/.local/share \
    XDG_CACHE_HOME=$check_home/.cache QT_QPA_PLATFORM=offscreen "$BENCH" "$1" "$GAME" "$MANIFEST"
}
# VERIFY_BENCH_CACHE=warm keeps the cache even as root.
cache=${VERIFY_BENCH_CACHE:-cold}
if [ "$(id -u)" -ne 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; then cache=warm; fi
fresh_cache() { if [ $cache = cold ]; then sync && echo 3 >/proc/sys/vm/drop_caches; fi; }
run_walk() { find "$GAME" -type f -printf '%s %T@ %i\n' >/dev/null; }
run_check full >/dev/null # writes the record, warms the cache
best_check=0 best_full=0 best_walk=0
for ((i = 0; i < RUNS; i++)); do
  fresh_cache
  output=$(run_check startup)
  [ "${output##* }" -eq "$FILES" ] || { echo "verify: the start-up check saw ${output##* } files" >&2; exit 1; }
  best_check=$(awk -v a="${output%% *}" -v b="$best_check" 'BEGIN { print (b == 0 || a < b) ? a : b }')
  fresh_cache
  output=$(run_check full)
  best_full=$(awk -v a="${output%% *}" -v b="$best_full" 'BEGIN { print (b == 0 || a < b) ? a : b }')
  fresh_cache
  start=$(date +%s%N)
  run_walk
  walk=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.6f", ns / 1e9 }')
  best_walk=$(awk -v a="$walk" -v b="$best_walk" 'BEGIN { print (b == 0 || a < b) ? a : b }')
done
echo "verify: start-up check, page cache $cache, best of $RUNS runs"
printf '  %-14s %8.3f s\n' start-up "$best_check" full "$best_full" stat-walk "$best_walk"

# Throughput ratios are inverse time ratios over the same bytes.
awk -v e="$engine_seconds" -v p="$best_peer" -v c="${seconds[cat]}" \
  -v s="$best_check" -v f="$best_full" -v w="$best_walk" \
  'BEGIN { printf "verify: ratio_vs_best_peer=%.2f ratio_vs_cat=%.2f startup_check_vs_full=%.3f startup_check_vs_stat_walk=%.2f\n", p / e, c / e, s / f, s / w }'
