"""Shared drawing helpers for the launcher's art scripts.

Everything is drawn at SS times the final size and reduced with a Lanczos
filter, which gives clean anti-aliased edges from plain PIL polygons.
"""

import os

import numpy as np
from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

SS = 4

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.normpath(os.path.join(HERE, ".."))

# Palette shared with the style sheet: cream highlights, cyan progress.
CREAM = (254, 254, 198)
CYAN = (96, 229, 252)
GOLD = (222, 184, 108)
GOLD_DEEP = (150, 104, 48)
INK = (18, 12, 16)

SERIF = "/usr/share/fonts/opentype/quattrocento/Quattrocento-Regular.otf"


def out_path(name):
    return os.path.join(OUT, name)


def save_png(img, name):
    # Fully transparent pixels keep stray colour after resampling; zero them so
    # the files compress well and compare equal between runs.
    img = img.convert("RGBA")
    a = np.asarray(img).copy()
    a[a[..., 3] == 0] = 0
    Image.fromarray(a, "RGBA").save(out_path(name), optimize=True)


def canvas(w, h):
    return Image.new("RGBA", (w * SS, h * SS), (0, 0, 0, 0))


def reduce(img, w, h):
    return img.resize((w, h), Image.LANCZOS)


def mask(w, h):
    return Image.new("L", (w * SS, h * SS), 0)


def vgradient(w, h, stops):
    """RGBA image filled with a vertical gradient; stops are (pos, (r,g,b[,a]))."""
    pos = np.array([s[0] for s in stops], dtype=np.float32)
    cols = np.array([tuple(s[1]) + ((255,) if len(s[1]) == 3 else ()) for s in stops],
                    dtype=np.float32)
    y = np.linspace(0.0, 1.0, h, dtype=np.float32)
    chans = [np.interp(y, pos, cols[:, c]) for c in range(4)]
    col = np.stack(chans, axis=-1)[:, None, :]
    arr = np.broadcast_to(col, (h, w, 4)).astype(np.uint8)
    return Image.fromarray(np.ascontiguousarray(arr), "RGBA")


def fill_mask(m, fill):
    """Paint `fill` (colour tuple or RGBA image) through the L mask `m`."""
    if isinstance(fill, tuple):
        src = Image.new("RGBA", m.size, fill if len(fill) == 4 else fill + (255,))
    else:
        src = fill
    out = src.copy()
    alpha = ImageChops.multiply(src.getchannel("A"), m)
    out.putalpha(alpha)
    return out


def over(base, top):
    return Image.alpha_composite(base, top)


def glow(m, colour, radius, strength=1.0):
    """Soft halo of `colour` around the L mask `m` (radius in final pixels)."""
    blurred = m.filter(ImageFilter.GaussianBlur(radius * SS))
    if strength != 1.0:
        blurred = blurred.point(lambda v: min(255, int(v * strength)))
    return fill_mask(blurred, colour)


def shift(img, dx, dy):
    return ImageChops.offset(img, int(dx), int(dy))


def font(path, size):
    return ImageFont.truetype(path, size)


def polygon_mask(w, h, pts, scale=SS):
    m = mask(w, h)
    ImageDraw.Draw(m).polygon([(x * scale, y * scale) for x, y in pts], fill=255)
    return m


def chamfer_rect(x0, y0, x1, y1, c):
    """Octagon-like outline: a rectangle with its corners cut by c."""
    return [(x0 + c, y0), (x1 - c, y0), (x1, y0 + c), (x1, y1 - c),
            (x1 - c, y1), (x0 + c, y1), (x0, y1 - c), (x0, y0 + c)]
