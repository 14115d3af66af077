#!/usr/bin/python3
"""The window's looping background clip, its still picture, and two sample
news pictures for the demo feed, all rendered from the procedural scene."""

import os
import subprocess
import sys

from PIL import Image

from artlib import out_path
from scene import AURUM, NIGHT, Scene

FPS = 24
SECONDS = 12
WIDTH, HEIGHT = 1366, 768
# The scene is smooth enough that a high quality costs only a few hundred KB.
CRF = os.environ.get("CLIP_CRF", "18")


def encode_clip(scene, path):
    frames = FPS * SECONDS
    cmd = ["ffmpeg", "-loglevel", "error", "-y",
           "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % (WIDTH, HEIGHT), "-r", str(FPS), "-i", "-",
           "-an", "-c:v", "libvpx-vp9", "-pix_fmt", "yuv420p", "-b:v", "0", "-crf", CRF,
           "-deadline", "good", "-cpu-used", "2", "-row-mt", "1",
           # One key frame for the whole loop: it is also where playback restarts.
           "-g", str(frames), "-keyint_min", str(frames),
           "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709",
           # No encoder version or dates in the file, so a rerun gives the same bytes.
           "-fflags", "+bitexact", "-flags:v", "+bitexact",
           "-movflags", "+faststart", path]
    enc = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    for i in range(frames):
        enc.stdin.write(scene.frame(i / FPS).tobytes())
    enc.stdin.close()
    if enc.wait() != 0:
        sys.exit("ffmpeg failed")


def main():
    scene = Scene(WIDTH, HEIGHT, period=float(SECONDS))
    Image.fromarray(scene.frame(0.0)).save(out_path("background_still.jpg"), quality=88, optimize=True,
                                           progressive=True)
    news = out_path("news")
    os.makedirs(news, exist_ok=True)
    Image.fromarray(Scene(712, 400, NIGHT, seed=5, mirror=True, embers=40).frame(1.0)).save(
        os.path.join(news, "news_1.jpg"), quality=86, optimize=True)
    Image.fromarray(Scene(712, 400, AURUM, seed=23, embers=50).frame(2.0)).save(
        os.path.join(news, "news_2.jpg"), quality=86, optimize=True)
    if "--no-clip" not in sys.argv:
        encode_clip(scene, out_path("background.mp4"))


if __name__ == "__main__":
    main()
