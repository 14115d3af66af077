#!/bin/sh
# Copies the three Poppins weights the window uses, and their licence, out of
# a pinned npm package. Only the npm client is needed; nothing is installed
# into the project.
set -eu

PKG="@expo-google-fonts/poppins@0.4.1"
here=$(cd "$(dirname "$0")" && pwd)
dest="$here/../fonts"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

(cd "$tmp" && npm pack --silent "$PKG" >/dev/null)
tar -xzf "$tmp"/*.tgz -C "$tmp"

mkdir -p "$dest"
for f in 400Regular/Poppins_400Regular.ttf 600SemiBold/Poppins_600SemiBold.ttf 700Bold/Poppins_700Bold.ttf; do
    cp "$tmp/package/$f" "$dest/"
done
cp "$tmp/package/LICENSE_FONT" "$dest/OFL.txt"
