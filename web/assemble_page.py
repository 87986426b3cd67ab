#!/usr/bin/python3
"""Makes the page one file: the program's module and its .wasm, the port's
transport and the page's script inlined, under a Content-Security-Policy
that lets in only these scripts and this style, and nothing from elsewhere.
    web/assemble_page.py TEMPLATE PROGRAM_JS PROGRAM_WASM TRANSPORT_JS TERMINAL_JS PAGE_JS OUT_HTML"""
import base64
import hashlib
import re
import sys

template, program, wasm, transport, terminal, page, out = sys.argv[1:8]
read = lambda path: open(path, encoding="utf-8").read()
html = read(template)
scripts = {"@PROGRAM@": read(program), "@TRANSPORT@": read(transport), "@TERMINAL@": read(terminal),
           "@PAGE@": read(page)}
for mark, text in scripts.items():
    if "</script" in text.lower():
        sys.exit(f"assemble_page: {mark} would end its <script> early")
    html = html.replace(mark, text)
html = html.replace("@WASM@", base64.b64encode(open(wasm, "rb").read()).decode())


def digest(text):
    return "'sha256-" + base64.b64encode(hashlib.sha256(text.encode()).digest()).decode() + "'"


style = re.search(r"<style>(.*?)</style>", html, re.S).group(1)
policy = " ".join([
    "default-src 'self';",
    "script-src", *map(digest, scripts.values()), "'wasm-unsafe-eval';",
    "style-src", digest(style) + ";",
    "object-src 'none'; base-uri 'none'; form-action 'none'",
])
open(out, "w", encoding="utf-8").write(html.replace("@POLICY@", policy))
