#!/usr/bin/python3
"""The two product logos (302 x 138): an emblem over an engraved wordmark.
They sit on the darkened top of the video, so every shape gets a dark
outline and a shadow to stay legible over bright frames."""


import numpy as np
from PIL import Image, ImageDraw, ImageFilter

from artlib import (SERIF, SS, canvas, fill_mask, font, mask, over, polygon_mask, reduce,
                    save_png, shift, vgradient)

W, H = 302, 138

GOLD_METAL = [(0.0, (255, 246, 204)), (0.35, (246, 212, 132)), (0.7, (206, 146, 66)),
              (1.0, (150, 92, 38))]
STONE_METAL = [(0.0, (255, 255, 240)), (0.35, (226, 226, 214)), (0.7, (168, 170, 170)),
               (1.0, (112, 116, 124))]


def union(*ms):
    a = np.asarray(ms[0])
    for m in ms[1:]:
        a = np.maximum(a, np.asarray(m))
    return Image.fromarray(a, "L")


def subtract(m, cut):
    return Image.fromarray(np.minimum(np.asarray(m), 255 - np.asarray(cut)), "L")


def dilate(m, px):
    size = int(px * SS) * 2 + 1
    return m.filter(ImageFilter.MaxFilter(size))


def circle(cx, cy, r):
    m = mask(W, H)
    ImageDraw.Draw(m).ellipse([(cx - r) * SS, (cy - r) * SS, (cx + r) * SS, (cy + r) * SS], fill=255)
    return m


def ring(cx, cy, r, width):
    return subtract(circle(cx, cy, r + width / 2), circle(cx, cy, r - width / 2))


def polyline(pts, width):
    m = mask(W, H)
    d = ImageDraw.Draw(m)
    d.line([(x * SS, y * SS) for x, y in pts], fill=255, width=max(1, int(width * SS)), joint="curve")
    return m


def wordmark(text, baseline, max_width, size):
    while True:
        f = font(SERIF, size * SS)
        tracking = 0.12 * size * SS
        widths = [f.getlength(ch) for ch in text]
        total = sum(widths) + tracking * (len(text) - 1)
        if total <= max_width * SS:
            break
        size -= 1
    m = mask(W, H)
    d = ImageDraw.Draw(m)
    x = (W * SS - total) / 2
    for ch, w in zip(text, widths):
        # The stroke in the glyph's own colour thickens the regular cut to a
        # display weight.
        d.text((x, baseline * SS), ch, font=f, fill=255, anchor="ls", stroke_width=int(0.9 * SS),
               stroke_fill=255)
        x += w + tracking
    return m


def flourish(y, gap):
    """Tapered rules either side of a centre diamond."""
    cx = W / 2
    parts = []
    for side in (-1, 1):
        x0 = cx + side * gap
        x1 = cx + side * (gap + 96)
        parts.append(polygon_mask(W, H, [(x0, y - 1.3), (x1, y - 0.2), (x1, y + 0.2), (x0, y + 1.3)]))
        parts.append(circle(x1 + side * 3, y, 1.6))
    parts.append(polygon_mask(W, H, [(cx, y - 5), (cx + 5, y), (cx, y + 5), (cx - 5, y)]))
    parts.append(polygon_mask(W, H, [(cx - gap + 4, y), (cx - gap + 7, y - 2.5), (cx - gap + 10, y),
                                     (cx - gap + 7, y + 2.5)]))
    parts.append(polygon_mask(W, H, [(cx + gap - 4, y), (cx + gap - 7, y - 2.5), (cx + gap - 10, y),
                                     (cx + gap - 7, y + 2.5)]))
    return union(*parts)


def stacked(parts, gap):
    """Union of shapes laid one over the next, each cut free of the ones
    below by a thin gap, like overlapping leaf clusters."""
    acc = mask(W, H)
    for m in parts:
        acc = union(subtract(acc, dilate(m, gap)), m)
    return acc


def ash_tree(cx, cy):
    """A round-crowned tree in a ring: trunk and boughs under leaf clusters."""
    ty = cy + 2
    wood = union(
        polygon_mask(W, H, [(cx - 1.6, ty + 1), (cx + 1.6, ty + 1), (cx + 2.6, ty + 13),
                            (cx + 7.5, ty + 16.5), (cx - 7.5, ty + 16.5), (cx - 2.6, ty + 13)]),
        polyline([(cx, ty + 4), (cx - 5, ty - 1), (cx - 9, ty - 3)], 1.6),
        polyline([(cx, ty + 2), (cx + 5, ty - 3), (cx + 9, ty - 5)], 1.6),
        polyline([(cx, ty + 2), (cx, ty - 6)], 1.6))
    lobes = [circle(cx - 11, ty - 5, 5.2), circle(cx + 11, ty - 6, 5.2),
             circle(cx - 6, ty - 12, 6.2), circle(cx + 6, ty - 13, 6.2),
             circle(cx, ty - 7, 5.8), circle(cx - 6.5, ty - 4, 4.0), circle(cx + 6.5, ty - 5, 4.0)]
    crown = stacked(lobes, 0.7)
    tree = union(subtract(wood, dilate(crown, 0.7)), crown)
    # Let the boughs show through the lower clusters.
    tree = union(tree, polyline([(cx - 5, ty - 1), (cx - 9, ty - 3)], 1.4),
                 polyline([(cx + 5, ty - 3), (cx + 9, ty - 5)], 1.4))
    return union(tree, ring(cx, cy + 1, 23.5, 2.2))


def band(x0, x1, y, thick):
    return polygon_mask(W, H, [(x0, y), (x0 + 4, y - thick / 2), (x1 - 4, y - thick / 2), (x1, y),
                               (x1 - 4, y + thick / 2), (x0 + 4, y + thick / 2)])


def veiled_peak(cx, cy):
    """Twin-summited crag with bands of mist drifting across its foot."""
    peak = polygon_mask(W, H, [(cx - 18, cy + 14), (cx - 8, cy - 4), (cx - 4, cy - 1), (cx + 3, cy - 16),
                               (cx + 11, cy - 2), (cx + 14, cy - 5), (cx + 19, cy + 14)])
    facets = union(polyline([(cx + 3, cy - 14), (cx + 1, cy - 6), (cx + 4, cy + 1)], 1.0),
                   polyline([(cx - 8, cy - 2), (cx - 9, cy + 4)], 1.0))
    mist = union(band(cx - 21, cx + 9, cy + 6, 2.6), band(cx - 7, cx + 21, cy + 11.5, 2.6))
    body = subtract(subtract(peak, facets), dilate(mist, 1.2))
    return union(body, mist, ring(cx, cy + 1, 23.5, 2.2))


def render(metal, emblem, text, glow_colour):
    out = canvas(W, H)
    shapes = union(emblem, wordmark(text, 104, 284, 50), flourish(121, 30))
    outline = dilate(shapes, 1.6)
    out = over(out, fill_mask(outline.filter(ImageFilter.GaussianBlur(6 * SS)), glow_colour + (70,)))
    out = over(out, fill_mask(shift(outline, 0, 2 * SS).filter(ImageFilter.GaussianBlur(2.5 * SS)),
                              (0, 0, 0, 200)))
    out = over(out, fill_mask(outline, (24, 14, 14, 235)))
    out = over(out, fill_mask(shapes, vgradient(W * SS, H * SS, metal)))
    # Bevel: a light top edge and a dark lower edge inside each shape.
    top_edge = subtract(shapes, shift(shapes, 0, int(1.0 * SS)))
    out = over(out, fill_mask(top_edge, (255, 255, 236, 200)))
    low_edge = subtract(shapes, shift(shapes, 0, -int(1.0 * SS)))
    out = over(out, fill_mask(low_edge, (60, 34, 20, 140)))
    return reduce(out, W, H)


def main():
    save_png(render(GOLD_METAL, ash_tree(W / 2, 26), "ASHGROVE", (255, 150, 60)), "ag_logo.png")
    save_png(render(STONE_METAL, veiled_peak(W / 2, 26), "STONEVEIL", (170, 200, 255)), "sv_logo.png")


if __name__ == "__main__":
    main()
