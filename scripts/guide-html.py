#!/usr/bin/env python3
"""Writes the user guide (Markdown) as one HTML page beside its pictures.

Usage: guide-html.py USER_GUIDE.md OUT.html
The Windows installer's Start menu opens the guide in the browser.
"""
import html
import sys

import markdown


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        text = f.read()
    title = next((line[2:].strip() for line in text.splitlines() if line.startswith("# ")),
                 "User guide")
    body = markdown.markdown(text, extensions=["tables", "fenced_code", "toc"])
    page = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
            "<title>%s</title>\n<style>body{max-width:60em;margin:auto;padding:1em;"
            "font-family:sans-serif}img{max-width:100%%}table{border-collapse:collapse}"
            "td,th{border:1px solid #aaa;padding:.2em .5em}"
            "pre{background:#f4f4f4;padding:.5em;overflow:auto}</style>\n"
            "</head><body>\n%s\n</body></html>\n" % (html.escape(title), body))
    with open(target, "w", encoding="utf-8", newline="\n") as f:
        f.write(page)


if __name__ == "__main__":
    main()
