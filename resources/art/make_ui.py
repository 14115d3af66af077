#!/usr/bin/python3
"""Bitmaps of the window chrome: action-button frames, title-bar buttons,
settings medallion, company crest, button icons and the progress ring track."""

import math

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

from artlib import (CREAM, CYAN, SS, canvas, chamfer_rect, fill_mask, glow, mask, over,
                    polygon_mask, reduce, save_png, shift, vgradient)

FRAME_W, FRAME_H = 390, 76

# Fill gradients of the three action frames, top to bottom.  Deep enough that
# white 24 px text and the cyan progress ring stay readable on them.
FRAME_FILLS = {
    "install": [(0.0, (52, 150, 138)), (0.5, (22, 96, 94)), (1.0, (9, 46, 52))],
    "update": [(0.0, (64, 112, 184)), (0.5, (30, 64, 128)), (1.0, (13, 28, 68))],
    "play": [(0.0, (232, 146, 58)), (0.5, (182, 84, 30)), (1.0, (104, 36, 16))],
}


def grain(w, h, amount, seed):
    """Faint mottling so large fills read as metal rather than flat plastic."""
    rng = np.random.default_rng(seed)
    small = rng.normal(0.0, 1.0, (h // 6 + 2, w // 6 + 2)).astype(np.float32)
    img = Image.fromarray(((small * 40) + 128).clip(0, 255).astype(np.uint8), "L")
    img = img.resize((w, h), Image.BICUBIC)
    return (np.asarray(img).astype(np.float32) - 128.0) / 40.0 * amount


def frame(kind, hover):
    w, h = FRAME_W, FRAME_H
    W, H = w * SS, h * SS
    out = canvas(w, h)

    outer = chamfer_rect(3, 3, w - 3, h - 3, 11)
    inner = chamfer_rect(5, 5, w - 5, h - 5, 10)
    line = chamfer_rect(9, 9, w - 9, h - 9, 8)
    m_outer = polygon_mask(w, h, outer)
    m_inner = polygon_mask(w, h, inner)

    if hover:
        out = over(out, glow(m_outer, CREAM + (255,), 2.2, 1.1))
    # Drop shadow kept inside the canvas: the button cannot paint outside it.
    out = over(out, fill_mask(shift(m_outer, 0, 2 * SS).filter(ImageFilter.GaussianBlur(2 * SS)),
                              (0, 0, 0, 170)))

    rim_top = (255, 244, 200) if hover else (246, 226, 166)
    rim = vgradient(W, H, [(0.0, rim_top), (0.45, (214, 170, 96)), (1.0, (118, 80, 36))])
    out = over(out, fill_mask(m_outer, rim))

    stops = FRAME_FILLS[kind]
    if hover:
        stops = [(p, tuple(min(255, int(c * 1.14 + 10)) for c in col)) for p, col in stops]
    body = np.asarray(vgradient(W, H, stops)).astype(np.float32)
    # A soft light across the middle of the plate, strongest at its centre.
    xs = np.linspace(-1.0, 1.0, W, dtype=np.float32)
    ys = np.linspace(-1.0, 1.0, H, dtype=np.float32)
    light = np.exp(-(xs[None, :] ** 2) * 1.6 - (ys[:, None] + 0.2) ** 2 * 2.0)
    body[..., :3] *= (0.86 + 0.26 * light)[..., None]
    body[..., :3] += grain(W, H, 2.0, 7)[..., None]
    body = Image.fromarray(body.clip(0, 255).astype(np.uint8), "RGBA")
    out = over(out, fill_mask(m_inner, body))

    # Gloss on the upper part of the plate.
    gloss = vgradient(W, H, [(0.0, (255, 255, 255, 70 if hover else 52)), (0.48, (255, 255, 255, 8)),
                             (0.5, (255, 255, 255, 0)), (1.0, (255, 255, 255, 0))])
    out = over(out, fill_mask(m_inner, gloss))

    # Inner engraved line.
    lm = mask(w, h)
    ImageDraw.Draw(lm).line([(x * SS, y * SS) for x, y in line + [line[0]]], fill=255,
                            width=int(1.0 * SS), joint="curve")
    out = over(out, fill_mask(lm, CREAM + (110 if hover else 70,)))

    # Small diamonds at both ends of the plate.
    for cx in (17, w - 17):
        d = [(cx, h / 2 - 5), (cx + 4, h / 2), (cx, h / 2 + 5), (cx - 4, h / 2)]
        out = over(out, fill_mask(polygon_mask(w, h, d), CREAM + (200 if hover else 150,)))
    return reduce(out, w, h)


def title_button(glyph, hover):
    size = 21 if hover else 20
    out = canvas(size, size)
    c = size / 2.0
    m = mask(size, size)
    d = ImageDraw.Draw(m)
    sw = int(1.8 * SS)
    if glyph == "minimize":
        d.line([((c - 5) * SS, (c + 1) * SS), ((c + 5) * SS, (c + 1) * SS)], fill=255, width=sw)
    else:
        r = 4.6
        d.line([((c - r) * SS, (c - r) * SS), ((c + r) * SS, (c + r) * SS)], fill=255, width=sw)
        d.line([((c - r) * SS, (c + r) * SS), ((c + r) * SS, (c - r) * SS)], fill=255, width=sw)
    if hover:
        disc = mask(size, size)
        ImageDraw.Draw(disc).ellipse([0.5 * SS, 0.5 * SS, (size - 0.5) * SS, (size - 0.5) * SS],
                                     fill=255)
        out = over(out, fill_mask(disc, CREAM + (34,)))
        out = over(out, glow(m, CREAM + (255,), 1.5, 1.2))
        out = over(out, fill_mask(m, CREAM + (255,)))
    else:
        out = over(out, fill_mask(shift(m, 0, SS).filter(ImageFilter.GaussianBlur(SS)), (0, 0, 0, 200)))
        out = over(out, fill_mask(m, (238, 232, 216, 255)))
    return reduce(out, size, size)


def ellipse_mask(w, h, cx, cy, r):
    m = mask(w, h)
    ImageDraw.Draw(m).ellipse([(cx - r) * SS, (cy - r) * SS, (cx + r) * SS, (cy + r) * SS], fill=255)
    return m


def ring_mask(w, h, cx, cy, r, width):
    m = ellipse_mask(w, h, cx, cy, r + width / 2)
    hole = ellipse_mask(w, h, cx, cy, r - width / 2)
    return Image.fromarray(np.minimum(np.asarray(m), 255 - np.asarray(hole)), "L")


def medallion(size, r):
    """Dark round plate with a gold rim, the base of the settings and company art."""
    c = size / 2.0
    W = size * SS
    out = canvas(size, size)
    plate = ellipse_mask(size, size, c, c, r)
    out = over(out, fill_mask(shift(plate, 0, int(1.5 * SS)).filter(ImageFilter.GaussianBlur(2 * SS)),
                              (0, 0, 0, 180)))
    rim = vgradient(W, W, [(0.0, (248, 228, 170)), (0.5, (206, 160, 88)), (1.0, (110, 74, 34))])
    out = over(out, fill_mask(plate, rim))
    face = vgradient(W, W, [(0.0, (58, 40, 38)), (0.6, (30, 20, 22)), (1.0, (16, 10, 12))])
    out = over(out, fill_mask(ellipse_mask(size, size, c, c, r - 2.2), face))
    out = over(out, fill_mask(ring_mask(size, size, c, c, r - 4.5, 0.8), CREAM + (60,)))
    return out


def gear_mask(size, cx, cy, r_out, r_in, r_hole, teeth):
    pts = []
    steps = teeth * 4
    for i in range(steps):
        a0 = 2 * math.pi * i / steps
        on = (i % 4) in (0, 1)
        r = r_out if on else r_in
        # Slightly tapered teeth.
        for frac in (0.12, 0.88):
            a = a0 + frac * 2 * math.pi / steps
            pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    m = polygon_mask(size, size, pts)
    hole = ellipse_mask(size, size, cx, cy, r_hole)
    return Image.fromarray(np.minimum(np.asarray(m), 255 - np.asarray(hole)), "L")


def settings_button():
    size = 75
    out = medallion(size, 32.5)
    c = size / 2.0
    g = gear_mask(size, c, c, 19.0, 14.6, 6.2, 8)
    W = size * SS
    metal = vgradient(W, W, [(0.0, (255, 252, 214)), (0.5, (236, 206, 140)), (1.0, (170, 124, 62))])
    out = over(out, glow(g, (255, 200, 120, 255), 2.5, 0.5))
    out = over(out, fill_mask(shift(g, 0, SS).filter(ImageFilter.GaussianBlur(SS)), (0, 0, 0, 200)))
    out = over(out, fill_mask(g, metal))
    out = over(out, fill_mask(ring_mask(size, size, c, c, 10.0, 1.2), (120, 84, 40, 200)))
    return reduce(out, size, size)


def company_logo(px=60):
    """The crest, drawn on a 60-unit grid and reduced to `px` pixels."""
    size = 60
    out = medallion(size, 27.5)
    c = size / 2.0
    W = size * SS
    # Crescent moon over a still lake: dusk over a mere.
    moon = ellipse_mask(size, size, c - 1.0, 23.0, 10.0)
    bite = ellipse_mask(size, size, c + 4.0, 20.0, 8.6)
    moon = Image.fromarray(np.minimum(np.asarray(moon), 255 - np.asarray(bite)), "L")
    out = over(out, glow(moon, CREAM + (255,), 2.0, 0.7))
    out = over(out, fill_mask(moon, CREAM + (255,)))
    star = ellipse_mask(size, size, c + 8.5, 16.0, 1.1)
    out = over(out, fill_mask(star, CREAM + (230,)))
    waves = mask(size, size)
    d = ImageDraw.Draw(waves)
    for row, (y, half) in enumerate(((37.0, 13.0), (41.5, 10.5), (46.0, 7.0))):
        pts = []
        for i in range(41):
            x = c - half + 2 * half * i / 40
            pts.append((x * SS, (y + 0.9 * math.sin((x - c) * 0.9 + row)) * SS))
        d.line(pts, fill=255, width=int(1.6 * SS), joint="curve")
    gold = vgradient(W, W, [(0.0, (250, 226, 160)), (1.0, (196, 146, 72))])
    out = over(out, fill_mask(waves, gold))
    return reduce(out, px, px)


def shadowed_white(m, size_w, size_h):
    out = canvas(size_w, size_h)
    out = over(out, fill_mask(shift(m, 0, SS).filter(ImageFilter.GaussianBlur(1.2 * SS)), (0, 0, 0, 150)))
    out = over(out, fill_mask(m, (255, 255, 255, 255)))
    return reduce(out, size_w, size_h)


def icon_download():
    w, h = 26, 28
    m = mask(w, h)
    d = ImageDraw.Draw(m)
    cx = w / 2.0
    sw = int(2.6 * SS)
    d.line([(cx * SS, 3 * SS), (cx * SS, 16 * SS)], fill=255, width=sw)
    head = [(cx - 7, 11.5), (cx + 7, 11.5), (cx, 19.5)]
    d.polygon([(x * SS, y * SS) for x, y in head], fill=255)
    tray = [(3.5, 17.5), (3.5, 24.0), (w - 3.5, 24.0), (w - 3.5, 17.5)]
    d.line([(x * SS, y * SS) for x, y in tray], fill=255, width=sw, joint="curve")
    for x, y in (tray[0], tray[-1]):
        d.ellipse([(x - 1.3) * SS, (y - 1.3) * SS, (x + 1.3) * SS, (y + 1.3) * SS], fill=255)
    return shadowed_white(m, w, h)


def icon_play():
    w, h = 24, 26
    m = mask(w, h)
    # Triangle with rounded corners: a thick round-joined outline plus its fill.
    pts = [(6.0, 4.0), (20.0, 12.5), (6.0, 21.0)]
    d = ImageDraw.Draw(m)
    d.polygon([(x * SS, y * SS) for x, y in pts], fill=255)
    d.line([(x * SS, y * SS) for x, y in pts + [pts[0]]], fill=255, width=int(3 * SS), joint="curve")
    for x, y in pts:
        d.ellipse([(x - 1.5) * SS, (y - 1.5) * SS, (x + 1.5) * SS, (y + 1.5) * SS], fill=255)
    return shadowed_white(m, w, h)


def progress_track():
    size = 40
    c = size / 2.0
    out = canvas(size, size)
    out = over(out, fill_mask(ellipse_mask(size, size, c, c, 19.5), (8, 12, 18, 165)))
    out = over(out, fill_mask(ring_mask(size, size, c, c, 19.0, 0.9), CREAM + (70,)))
    # Track under the arc the widget draws on the 30 x 30 square inset by 5.
    out = over(out, fill_mask(ring_mask(size, size, c, c, 15.0, 3.0), CYAN + (52,)))
    return reduce(out, size, size)


def main():
    for kind in ("install", "update", "play"):
        save_png(frame(kind, False), "frame_%s.png" % kind)
        save_png(frame(kind, True), "frame_%s_on.png" % kind)
    save_png(title_button("minimize", False), "button_minimize.png")
    save_png(title_button("minimize", True), "button_minimize_on.png")
    save_png(title_button("exit", False), "button_exit.png")
    save_png(title_button("exit", True), "button_exit_on.png")
    save_png(settings_button(), "button_settings.png")
    save_png(company_logo(), "company_logo.png")
    save_png(icon_download(), "icon_download.png")
    save_png(icon_play(), "icon_play.png")
    save_png(progress_track(), "circular_progress_background.png")


if __name__ == "__main__":
    main()
