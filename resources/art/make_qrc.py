#!/usr/bin/python3
"""Writes ui.qrc: the window's art under the ":/resources/" prefix.  The
product profiles live in a resource file of their own."""

from artlib import out_path
from outputs import QRC_FILES


def main():
    lines = ['<!DOCTYPE RCC>', '<RCC version="1.0">', '<qresource prefix="/resources">']
    lines += ["    <file>%s</file>" % name for name in QRC_FILES]
    lines += ["</qresource>", "</RCC>", ""]
    with open(out_path("ui.qrc"), "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
