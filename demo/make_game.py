#!/usr/bin/python3
"""Writes the demo's game folder: the sample game program under the profile's
executable name, told by samplegame.json to show a window titled with the
product's name (what the launcher waits for), plus data files of fixed
pseudo-random content (about 44 MiB), the same bytes on every machine so a
rerun publishes nothing new.

    make_game.py SAMPLE_GAME_PROGRAM EXECUTABLE_NAME WINDOW_TITLE OUT_DIR
"""

import json
import os
import random
import shutil
import sys

MIB = 1024 * 1024

# key -> size in bytes; the seed is the key, so each file has its own bytes.
DATA_FILES = {
    "data/world.pak": 20 * MIB,
    "data/textures/terrain.pak": 12 * MIB,
    "data/textures/characters.pak": 6 * MIB,
    "data/sounds/ambience.pak": 4 * MIB,
    "data/sounds/effects.pak": 2 * MIB,
}

TEXT_FILES = {
    "config/defaults.ini": "[video]\nwidth=1280\nheight=720\nfullscreen=false\n\n"
                           "[audio]\nmaster=80\nmusic=60\n",
    "readme.txt": "Ashgrove demo build: a stand-in game published by ./run demo.\n",
}


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.strip())
    program, executable, title, out = sys.argv[1:]
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    for key, size in DATA_FILES.items():
        write(os.path.join(out, key), random.Random(key).randbytes(size))
    for key, text in TEXT_FILES.items():
        write(os.path.join(out, key), text.encode())
    shutil.copy2(program, os.path.join(out, executable))
    # Stays until the player closes it.
    write(os.path.join(out, "samplegame.json"),
          json.dumps({"title": title, "seconds": 0}, indent=4).encode() + b"\n")


if __name__ == "__main__":
    main()
