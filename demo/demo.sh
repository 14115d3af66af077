#!/usr/bin/env bash
# The demo after ./run demo has built it into $DEMO_BUILD: makes and publishes
# the sample game and the launcher's own release (only what changed since the
# last run), serves them and the news with nginx on loopback, and opens the
# launcher. Closing the launcher stops the server.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEMO_BUILD=${DEMO_BUILD:-$ROOT/build-demo}
BIN=$DEMO_BUILD/bin
WORK=$DEMO_BUILD/demo
WWW=$WORK/www
PROFILE=$ROOT/resources/settings_demo.json

say() { echo "demo: $*" >&2; }

profile_value() {
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$PROFILE" "$1"
}
BASE=$(profile_value updateUrl)
BASE=${BASE%/game}
ADDRESS=${BASE#http://}
VERSION=$(profile_value version)
EXECUTABLE=$(profile_value executableName)
EXECUTABLE=${EXECUTABLE%.exe}
LAUNCHER_DOCUMENT=$(profile_value launcherUpdateUrl)
PACKAGE_URL=${LAUNCHER_DOCUMENT%.json}.zip

# $1 is stale when missing or older than any of the files after it.
stale() {
  local target=$1 source
  shift
  [ -e "$target" ] || return 0
  for source in "$@"; do
    [ "$source" -nt "$target" ] && return 0
  done
  return 1
}

# The game: the sample game program plus generated data, published for the engine.
GAME=$WORK/game
if [ ! -x "$BIN/samplegame" ]; then
  say "this build has no sample game program ($BIN/samplegame)"
  exit 1
fi
if stale "$WORK/game.made" "$ROOT/demo/make_game.py" "$BIN/samplegame" "$PROFILE"; then
  say "making the sample game"
  python3 "$ROOT/demo/make_game.py" "$BIN/samplegame" "$EXECUTABLE" "$(profile_value applicationName)" "$GAME"
  touch "$WORK/game.made"
fi
if stale "$WWW/game/checksums.txt.gz" "$WORK/game.made" "$BIN/patchtool"; then
  say "publishing the game"
  rm -rf "$WWW/game"
  "$BIN/patchtool" publish "$GAME" "$WWW/game" >/dev/null
fi

# The launcher's own release, at the profile's version so it does not ask to update.
RELEASE=$WORK/launcher
if stale "$WWW/launcher/${PACKAGE_URL##*/}" "$BIN/launcher" "$BIN/updater" "$PROFILE"; then
  say "publishing launcher $VERSION"
  rm -rf "$RELEASE" "$WWW/launcher"
  mkdir -p "$RELEASE"
  cp -p "$BIN/launcher" "$BIN/updater" "$RELEASE/"
  "$BIN/patchtool" release "$RELEASE" "$VERSION" "$PACKAGE_URL" "$WWW/launcher" >/dev/null
fi

# News: two items with pictures made by the art scripts.
if stale "$WWW/news/news.json" "$ROOT/demo/news.json.in" "$PROFILE"; then
  mkdir -p "$WWW/news"
  cp "$ROOT"/resources/news/news_{1,2}.jpg "$WWW/news/"
  sed "s|@BASE@|$BASE|g" "$ROOT/demo/news.json.in" >"$WWW/news/news.json"
fi

SERVER=$WORK/nginx
mkdir -p "$SERVER/tmp"
sed -e "s|@ADDRESS@|$ADDRESS|" -e "s|@ROOT@|$WWW|" "$ROOT/demo/nginx.conf.in" >"$SERVER/nginx.conf"
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
NGINX_PID=
stop_server() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
    NGINX_PID=
  fi
}
trap stop_server EXIT
trap 'exit 130' INT TERM
"$NGINX" -p "$SERVER/" -c nginx.conf -e stderr 2>"$SERVER/error.log" &
NGINX_PID=$!
for ((i = 0; i < 100; i++)); do
  (exec 3<>"/dev/tcp/${ADDRESS%:*}/${ADDRESS#*:}") 2>/dev/null && break
  if ! kill -0 "$NGINX_PID" 2>/dev/null; then
    NGINX_PID=
    cat "$SERVER/error.log" >&2
    say "the server could not start on $ADDRESS (is another demo running?)"
    exit 1
  fi
  sleep 0.1
done
say "serving $BASE (game, launcher $VERSION, news); close the launcher to stop"

# The launcher's own folder holds only what a player's installation would.
"$RELEASE/launcher" || say "the launcher ended with exit code $?"
