"""Every relative link of the README, the changelog and docs/ leads to a file
that exists, and a link with a #fragment to a heading of that file (by
GitHub's anchor rules)."""
import glob
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGES = sorted([os.path.join(ROOT, "README.md"), os.path.join(ROOT, "CHANGELOG.md")]
               + glob.glob(os.path.join(ROOT, "docs", "*.md")))
FENCE = re.compile(r"^(```|~~~).*?^\1[ \t]*$", re.M | re.S)
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")


def prose(text):
    """The Markdown outside fenced code blocks and inline code."""
    return re.sub(r"`[^`\n]*`", "", FENCE.sub("", text))


def anchors(text):
    """The anchors GitHub gives the headings of a page: lower case, without
    punctuation but hyphens and underscores, blanks as hyphens, a repeated
    one numbered."""
    seen, out = {}, set()
    for line in FENCE.sub("", text).splitlines():
        m = re.match(r"^#{1,6}[ \t]+(.*?)[ \t#]*$", line)
        if not m:
            continue
        title = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", m.group(1))  # links: their text
        slug = re.sub(r"[^\w\- ]", "", title.lower(), flags=re.U).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else "%s-%d" % (slug, n))
    return out


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


@pytest.mark.parametrize("page", PAGES, ids=lambda p: os.path.relpath(p, ROOT))
def test_relative_links_resolve(page):
    broken = []
    for target in LINK.findall(prose(read(page))):
        if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):  # https:, mailto:
            continue
        path, _, fragment = target.partition("#")
        full = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not full.startswith(ROOT + os.sep) or not os.path.exists(full):
            broken.append(target)
        elif fragment and (os.path.isdir(full) or not full.endswith(".md")
                           or fragment not in anchors(read(full))):
            broken.append(target)
    assert not broken, "%s: %s" % (os.path.relpath(page, ROOT), broken)


def test_the_readme_links_every_page_of_docs():
    linked = set(os.path.normpath(os.path.join(ROOT, t.partition("#")[0]))
                 for t in LINK.findall(prose(read(os.path.join(ROOT, "README.md")))))
    assert set(p for p in PAGES if os.sep + "docs" + os.sep in p) <= linked


@pytest.mark.parametrize("heading, anchor", [
    ("## Model fetch: `ombrix_sdk.model.fetch`", "model-fetch-ombrix_sdkmodelfetch"),
    ("### CPython 3.14 and 3.15: `scripts/sid-chroot`", "cpython-314-and-315-scriptssid-chroot"),
    ("## A [linked](x.md) title, again!", "a-linked-title-again"),
    ("```\n# not a heading\n```\n## Twice\n## Twice", "twice-1"),
])
def test_anchors_follow_githubs_rules(heading, anchor):
    assert anchor in anchors(heading)
    assert "not-a-heading" not in anchors(heading)
