#!/usr/bin/python3
"""Link-row icons as SVG: simple line glyphs of our own on a 30 x 30 grid,
the size the window renders them at.  Plain shapes and attributes only, since
Qt's SVG renderer supports the Tiny profile (no filters, no CSS)."""

from artlib import out_path

LIGHT = "#F4EFE1"
CREAM = "#FEFEC6"  # the shop link's label colour

STROKE = ('fill="none" stroke="{c}" stroke-width="2" stroke-linecap="round" '
          'stroke-linejoin="round"')

# name -> (colour, body); "{s}" expands to the common stroke attributes.
GLYPHS = {
    # A globe: outline, one meridian, equator and two parallels.
    "website": (LIGHT, """
  <circle cx="15" cy="15" r="10" {s}/>
  <ellipse cx="15" cy="15" rx="4.5" ry="10" {s}/>
  <path d="M5 15 H25 M6.8 10 H23.2 M6.8 20 H23.2" {s}/>"""),
    # A sheet with a folded corner and lines of text.
    "patch_notes": (LIGHT, """
  <path d="M9 5 H18 L23 10 V25 H9 Z" {s}/>
  <path d="M18 5 V10 H23" {s}/>
  <path d="M12.5 14.5 H19.5 M12.5 18 H19.5 M12.5 21.5 H16.5" {s}/>"""),
    # An open book.
    "guide": (LIGHT, """
  <path d="M15 9.5 C12 7.5 8.5 7 5 8 V23 C8.5 22 12 22.5 15 24.5 Z" {s}/>
  <path d="M15 9.5 C18 7.5 21.5 7 25 8 V23 C21.5 22 18 22.5 15 24.5" {s}/>"""),
    # A shopping bag.
    "store": (CREAM, """
  <path d="M7.5 11 H22.5 L24 25 H6 Z" {s}/>
  <path d="M11 14 V9.5 A4 4 0 0 1 19 9.5 V14" {s}/>"""),
    # A speech bubble with three dots: the community chat.
    "discord": (LIGHT, """
  <path d="M8 6.5 H22 A3.5 3.5 0 0 1 25.5 10 V17.5 A3.5 3.5 0 0 1 22 21 H14 L9 25 V21 H8 A3.5 3.5 0 0 1 4.5 17.5 V10 A3.5 3.5 0 0 1 8 6.5 Z" {s}/>
  <circle cx="10" cy="13.8" r="1.6" fill="{c}"/>
  <circle cx="15" cy="13.8" r="1.6" fill="{c}"/>
  <circle cx="20" cy="13.8" r="1.6" fill="{c}"/>"""),
    # A plain letter X in a rounded square.
    "twitter": (LIGHT, """
  <rect x="5" y="5" width="20" height="20" rx="5" {s}/>
  <path d="M10.5 10.5 L19.5 19.5 M19.5 10.5 L10.5 19.5" {s}/>"""),
    # A broadcast mark: a point with signal arcs either side, for live streams.
    "twitch": (LIGHT, """
  <circle cx="15" cy="15" r="2.3" fill="{c}"/>
  <path d="M10.9 10.9 A5.8 5.8 0 0 0 10.9 19.1 M19.1 10.9 A5.8 5.8 0 0 1 19.1 19.1" {s}/>
  <path d="M7.9 7.9 A10 10 0 0 0 7.9 22.1 M22.1 7.9 A10 10 0 0 1 22.1 22.1" {s}/>"""),
    # A play mark in a circle, for videos.
    "youtube": (LIGHT, """
  <circle cx="15" cy="15" r="10" {s}/>
  <path d="M12.5 10.2 L20.5 15 L12.5 19.8 Z" fill="{c}" stroke="{c}" stroke-width="1.2" stroke-linejoin="round"/>"""),
    # A quill, for the player-written lore pages.
    "wiki": (LIGHT, """
  <path d="M24 5 C16 6 10.5 12 9.5 20.5 C16.5 19.5 22 13.5 24 5 Z" {s}/>
  <path d="M21 9 L7 24.5" {s}/>
  <path d="M13.5 16 H18 M16 12.5 H20.5" {s}/>"""),
}

TEMPLATE = """<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" version="1.2" baseProfile="tiny" width="30" height="30" viewBox="0 0 30 30">{body}
</svg>
"""


def main():
    for name, (colour, body) in GLYPHS.items():
        s = STROKE.format(c=colour)
        svg = TEMPLATE.format(body=body.replace("{s}", s).replace("{c}", colour))
        with open(out_path("icon_%s.svg" % name), "w", encoding="utf-8") as f:
            f.write(svg)


if __name__ == "__main__":
    main()
