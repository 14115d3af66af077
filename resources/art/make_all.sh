#!/bin/sh
# Regenerates every committed art resource of the launcher window, plus
# ui.qrc, then checks the results. Safe to run again: the outputs are simply
# overwritten. The build itself needs none of these tools.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cd "$here"

# Debian's Python (for its PIL and numpy), the encoder, and the serif the
# logos' wordmarks are cut from.
packages="python3-pil python3-numpy ffmpeg fonts-quattrocento"
missing=""
for p in $packages; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
# npm may come with a nodejs build of its own rather than Debian's package.
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
    else
        echo "missing Debian packages:$missing" >&2
        exit 1
    fi
fi

export PYTHONDONTWRITEBYTECODE=1
py=/usr/bin/python3

$py make_ui.py
$py make_appicon.py
$py make_logos.py
$py make_icons.py
$py make_background.py
sh fetch_fonts.sh
$py make_qrc.py
$py check_outputs.py
