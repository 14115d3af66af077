#!/usr/bin/python3
"""Checks the generated files against what the window expects of them:
pixel sizes, SVGs Qt can parse, the clip's codec and size, and a qrc that
names exactly files that exist.  Exits non-zero on the first list of faults."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

from PIL import Image

from artlib import out_path
from outputs import (APP_ICON, APP_ICON_ICO, APP_ICON_SIZE, CLIP, CLIP_SIZE, FONTS, ICONS, IMAGES,
                     QRC_FILES)


def main():
    faults = []
    for name, size in IMAGES.items():
        if not os.path.exists(out_path(name)):
            faults.append("%s: missing" % name)
            continue
        with Image.open(out_path(name)) as im:
            if im.size != size:
                faults.append("%s: %dx%d, expected %dx%d" % ((name,) + im.size + size))
            if name.endswith(".png") and im.mode != "RGBA":
                faults.append("%s: mode %s, expected RGBA" % (name, im.mode))

    for name in (APP_ICON, APP_ICON_ICO):
        try:
            with Image.open(out_path(name)) as im:
                if im.size != (APP_ICON_SIZE, APP_ICON_SIZE):
                    faults.append("%s: %dx%d, expected %d square" % ((name,) + im.size + (APP_ICON_SIZE,)))
        except OSError as e:
            faults.append("%s: %s" % (name, e))

    for name in ICONS:
        try:
            root = ET.parse(out_path(name)).getroot()
            if root.get("viewBox") != "0 0 30 30":
                faults.append("%s: unexpected viewBox %r" % (name, root.get("viewBox")))
        except (OSError, ET.ParseError) as e:
            faults.append("%s: %s" % (name, e))

    for name in FONTS:
        if not os.path.exists(out_path(name)):
            faults.append("%s: missing" % name)

    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,width,height,pix_fmt:format=format_name", "-of", "json",
                            out_path(CLIP)], capture_output=True, text=True)
    if probe.returncode != 0:
        faults.append("%s: %s" % (CLIP, probe.stderr.strip()))
    else:
        info = json.loads(probe.stdout)
        st = info["streams"][0]
        if (st["codec_name"], st["width"], st["height"], st["pix_fmt"]) != ("vp9",) + CLIP_SIZE + ("yuv420p",):
            faults.append("%s: %s" % (CLIP, st))
        if "mp4" not in info["format"]["format_name"]:
            faults.append("%s: container %s" % (CLIP, info["format"]["format_name"]))

    qrc = ET.parse(out_path("ui.qrc")).getroot()
    listed = [f.text for f in qrc.iter("file")]
    if listed != QRC_FILES:
        faults.append("ui.qrc is out of date: run make_qrc.py")
    faults += ["ui.qrc: %s does not exist" % f for f in listed if not os.path.exists(out_path(f))]

    if faults:
        sys.exit("\n".join(faults))
    print("resources: %d files checked" % len(QRC_FILES))


if __name__ == "__main__":
    main()
