#!/usr/bin/env python3
"""Checks the web content tree.

- Every ML("...")/Ml("...") text of a template, and every text the web code
  hands to the translation (getmuText("...") and translated-text tables
  marked with TR("...")), has a translation in every catalogue, and msgfmt
  finds nothing untranslated or fuzzy.
- Every include {.path} names an existing template.
- Every link (href, src, action) names a page row of the web server or a
  file of the content tree.

Usage: check_content.py <source root>; exit status 0 when all is well.
"""
import os
import re
import subprocess
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
content = os.path.join(root, "content")
templates = os.path.join(content, "templates")
locale = os.path.join(content, "locale")
problems = []


def template_files():
    for d, _, files in os.walk(templates):
        for f in files:
            if f.endswith((".html", ".htm", ".cgi")):
                yield os.path.join(d, f)


def po_entries(path):
    """msgid -> msgstr of one catalogue (single-line entries and continuations)."""
    entries, key, cur, field = {}, None, None, None
    for line in open(path, encoding="utf-8"):
        line = line.strip()
        if line.startswith("msgid "):
            if key is not None:
                entries[key] = cur
            key, cur, field = eval(line[6:]), "", "id"
        elif line.startswith("msgstr "):
            cur, field = eval(line[7:]), "str"
        elif line.startswith('"') and key is not None:
            if field == "id":
                key += eval(line)
            else:
                cur += eval(line)
    if key is not None:
        entries[key] = cur
    return entries


# Texts to translate.
texts = {}
quoted = set()  # texts of ML("..."): their translation stands inside a JavaScript string
macro = re.compile(r'M([Ll])\("((?:[^"\\]|\\.)*)"\)')
for path in template_files():
    for m in macro.finditer(open(path, encoding="utf-8").read()):
        texts.setdefault(m.group(2), os.path.relpath(path, root))
        if m.group(1) == "L":
            quoted.add(m.group(2))
code_text = re.compile(r'\b(?:getmuText|TR)\(\s*"((?:[^"\\]|\\.)*)"\s*\)')
for folder in ("web", "usbserver", "app", "notify", "net", "maint", "snmp"):
    d = os.path.join(root, folder)
    if not os.path.isdir(d):
        continue
    for dirpath, _, files in os.walk(d):
        for f in files:
            if f.endswith((".cpp", ".h", ".def")):
                p = os.path.join(dirpath, f)
                for m in code_text.finditer(open(p, encoding="utf-8", errors="replace").read()):
                    texts.setdefault(bytes(m.group(1), "utf-8").decode("unicode_escape"), os.path.relpath(p, root))

catalogues = [f for f in sorted(os.listdir(locale)) if f.endswith(".po")]
if not catalogues:
    problems.append("no catalogue in content/locale")
for po in catalogues:
    path = os.path.join(locale, po)
    run = subprocess.run(["msgfmt", "--check", "--statistics", "-o", os.devnull, path],
                         capture_output=True, text=True)
    stats = run.stderr.strip().splitlines()[-1] if run.stderr.strip() else ""
    if run.returncode != 0:
        problems.append("%s: msgfmt --check failed: %s" % (po, run.stderr.strip()))
    elif "untranslated" in stats or "fuzzy" in stats:
        problems.append("%s: %s" % (po, stats))
    entries = po_entries(path)
    for text, where in sorted(texts.items()):
        if not entries.get(text):
            problems.append("%s: no translation of %r (used in %s)" % (po, text, where))
        elif text in quoted and re.search(r'["\\\n]|</', entries[text]):
            problems.append("%s: translation of %r would break its script string (used in %s)" % (po, text, where))

# Includes and links.
rows = set()
rows_source = os.path.join(root, "web", "pages", "pagerows.cpp")
if os.path.exists(rows_source):
    rows.update(re.findall(r'"(/[^"]+)"', open(rows_source, encoding="utf-8").read()))
else:
    problems.append("no page table at %s" % os.path.relpath(rows_source, root))
include = re.compile(r"\{\.([^}\]<>=!\t\n]+)\}")
link = re.compile(r'\b(?:href|src|action)="([^"]*)"')
alternative = re.compile(r"\{[A-Za-z_]+\?([^|{}]*)\|([^{}]*)\}")


def variants(url):
    """The paths a link with markers can name."""
    url = url.replace("{lang}", "LANG")
    m = alternative.search(url)
    if m:
        return variants(url[:m.start()] + m.group(1) + url[m.end():]) + \
               variants(url[:m.start()] + m.group(2) + url[m.end():])
    return [url]


for path in template_files():
    text = open(path, encoding="utf-8").read()
    rel = os.path.relpath(path, root)
    for m in include.finditer(text):
        if not os.path.isfile(os.path.join(templates, m.group(1).lstrip("/"))):
            problems.append("%s: include of missing template %s" % (rel, m.group(1)))
    for m in link.finditer(text):
        for url in variants(m.group(1)):
            if re.match(r"^[a-z]+:", url) or url.startswith("#") or "{" in url:
                continue
            url = url.split("?", 1)[0]
            for code in ("LANG", "en", "de"):
                url = re.sub(r"_" + code + r"(\.|$)", r"\1", url)
            url = url.replace("helpLANG", "helpen")
            if url in rows or os.path.isfile(os.path.join(templates, url.lstrip("/"))):
                continue
            # Scripts and downloads exist only as page rows: without the row
            # table in this tree they cannot be checked here.
            if not rows and (url.endswith(".cgi") or url.startswith(("/txt/", "/bin/"))):
                continue
            problems.append("%s: link to %s names neither a page row nor a content file" % (rel, m.group(1)))

for p in problems:
    print(p)
print("content check: %d problem(s), %d texts, %d catalogue(s)" % (len(problems), len(texts), len(catalogues)))
sys.exit(1 if problems else 0)
