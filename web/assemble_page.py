#!/usr/bin/python3
"""Makes the page one file: the modules (the program's, the chip's) with their
.wasm, and the page's own scripts inlined, under a Content-Security-Policy
that lets in only these scripts and this style, and nothing from elsewhere.
    web/assemble_page.py TEMPLATE OUT_HTML MARK=FILE...
Each @MARK@ in the template becomes the file: a .wasm in base64, anything
else as a script."""
import base64
import hashlib
import re
import sys

template, out, *parts = sys.argv[1:]
html = open(template, encoding="utf-8").read()
scripts = []
for mark, path in (part.split("=", 1) for part in parts):
    if path.endswith(".wasm"):
        text = base64.b64encode(open(path, "rb").read()).decode()
    else:
        text = open(path, encoding="utf-8").read()
        if "</script" in text.lower():
            sys.exit(f"assemble_page: {path} would end its <script> early")
        scripts.append(text)
    if f"@{mark}@" not in html:
        sys.exit(f"assemble_page: the template has no @{mark}@")
    html = html.replace(f"@{mark}@", text)


def digest(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


style = re.search(r"<style>(.*?)</style>", html, re.S).group(1)
policy = " ".join([
    "default-src 'self';",
    "script-src", *map(digest, scripts), "'wasm-unsafe-eval';",
    "style-src", digest(style) + ";",
    "object-src 'none'; base-uri 'none'; form-action 'none'",
])
open(out, "w", encoding="utf-8").write(html.replace("@POLICY@", policy))
