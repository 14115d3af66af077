# Sourced by the benchmarks: one generated game installation shared by all of
# them, made by verifybench's generator. Needs ROOT and BUILD_DIR; sets GAME.
GAME_DATA=$ROOT/bench/data/verify
GAME=$GAME_DATA/game
GAME_LAYOUT=1 # bump when datagen.cpp changes the data set

ensure_game_data() {
  if [ "$(cat "$GAME_DATA/layout" 2>/dev/null)" != "$GAME_LAYOUT" ]; then
    rm -rf "$GAME_DATA"
    mkdir -p "$GAME_DATA"
    "$BUILD_DIR/bench/verifybench" generate "$GAME"
    echo "$GAME_LAYOUT" >"$GAME_DATA/layout"
  fi
}
