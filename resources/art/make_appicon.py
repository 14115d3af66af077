#!/usr/bin/python3
"""The programs' icon: the company crest at desktop-icon size, as a PNG for the
Linux desktop entry and a multi-size .ico for the Windows version resources."""

import artlib
import make_ui
from artlib import out_path, save_png
from outputs import APP_ICON, APP_ICON_ICO, APP_ICON_SIZE

# The crest is drawn on a 60-unit grid at SS times its size; a larger factor
# keeps its edges clean at 256 pixels (about 4x supersampling there too).
SS = 18


def main():
    artlib.SS = make_ui.SS = SS
    icon = make_ui.company_logo(px=APP_ICON_SIZE)
    save_png(icon, APP_ICON)
    icon.save(out_path(APP_ICON_ICO),
              sizes=[(s, s) for s in (16, 24, 32, 48, 64, 128, 256)])


if __name__ == "__main__":
    main()
