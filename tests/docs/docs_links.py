#!/usr/bin/python3
"""docs_links.py [ROOT]: every relative link of README.md and docs/*.md points at a file that
exists, and one with an anchor (#name) at a heading of that file, named as GitHub names it
(lower case, punctuation dropped, spaces as hyphens, -1, -2 ... for repeated headings). Links
with a scheme (https: ...) are not followed. Fenced blocks and code spans hold no links.
"""
import glob
import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def prose(text):
    """The text without fenced blocks and code spans."""
    text = re.sub(r"^```.*?^```$", "", text, flags=re.M | re.S)
    return re.sub(r"`[^`]*`", "``", text)


def anchors(path):
    names = set()
    with open(path) as f:
        text = re.sub(r"^```.*?^```$", "", f.read(), flags=re.M | re.S)
    for heading in re.findall(r"^#+\s+(.*?)\s*$", text, re.M):
        name = re.sub(r"[^\w\- ]", "", heading.replace("`", "").lower()).replace(" ", "-")
        unique, n = name, 0
        while unique in names:
            n += 1
            unique = "%s-%d" % (name, n)
        names.add(unique)
    return names


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    bad = []
    count = 0
    for page in pages:
        with open(page) as f:
            text = prose(f.read())
        for target in LINK.findall(text):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):
                continue
            count += 1
            path, _, anchor = target.partition("#")
            file = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            where = "%s: %s" % (os.path.relpath(page, root), target)
            if not os.path.exists(file):
                bad.append(where + " (no such file)")
            elif anchor and (not file.endswith(".md") or anchor not in anchors(file)):
                bad.append(where + " (no such heading)")
    for line in bad:
        print("FAIL: " + line)
    if bad:
        return 1
    print("docs_links: %d relative links in %d pages, each to a file and heading that exist" % (count, len(pages)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
