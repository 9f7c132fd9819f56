"""The `headerdoc` directive: the reference of a public C or C++ header from
the header itself.  Each declaration at the top level (functions, types,
enums, macros; in C++ outside `namespace detail`) is shown as code with the
comment written above it, so the reference says what the header says and
cannot drift from it.

    ```{headerdoc} include/zebrw.h
    ```
"""
from __future__ import annotations

import re
from pathlib import Path

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

SKIP = re.compile(r'(#include|#if|#ifn?def|#endif|#else|#elif|#pragma|#undef|extern "C"|namespace |}|public:|private:)')


def comment_text(lines: list[str]) -> str:
    """The words of a comment block without its markers."""
    out = []
    for line in lines:
        line = re.sub(r"^\s*(//+ ?|/\*+ ?| \*/| \* ?|\*/)", "", line)
        out.append(re.sub(r"\s*\*/\s*$", "", line).rstrip())
    return "\n".join(out).strip()


def code(line: str) -> str:
    """A line without its trailing comment."""
    return re.sub(r"\s*(/\*.*|//.*)$", "", line).rstrip()


def entries(text: str) -> tuple[str, list[tuple[str | None, str]]]:
    """The header's opening comment, and (declaration, comment) pairs; a
    declaration of None is a heading ("---- core interface ----")."""
    lines = text.splitlines()
    i, n = 0, len(lines)
    intro: list[str] = []
    while i < n and (lines[i].startswith(("/*", " *", "//")) or not lines[i].strip()):
        intro.append(lines[i])
        i += 1
    found: list[tuple[str | None, str]] = []
    comment: list[str] = []
    in_block = False
    while i < n:
        line = lines[i]
        heading = re.match(r"(/\*|//) -+ (.+?) -+( \*/)?$", line)
        if heading and not in_block:
            found.append((None, heading.group(2)))
            comment = []
            i += 1
            continue
        if in_block or line.startswith(("/*", "//")):
            comment.append(line)
            in_block = ("/*" in line or in_block) and "*/" not in line and not line.startswith("//")
            i += 1
            continue
        if not line.strip():
            i += 1
            continue
        if line.startswith("namespace detail"):  # the C++ header's internals
            while i < n and not lines[i].startswith("}  // namespace detail"):
                i += 1
            i += 1
            comment = []
            continue
        if line.startswith((" ", "\t")) or SKIP.match(line) or re.match(r"#define \w+_H(PP)?$", line):
            comment = []
            i += 1
            continue
        decl = [line]
        if line.startswith("#define"):  # a run of macros is one entry
            while i + 1 < n and (lines[i + 1].startswith("#define") or
                                 "/*" in lines[i] and "*/" not in lines[i].split("/*")[-1]):
                i += 1
                decl.append(lines[i])
        elif re.match(r"(typedef struct|typedef union|struct|class|enum)\b", line) and not code(line).endswith(";"):
            while i + 1 < n and not lines[i].startswith("}"):
                i += 1
                decl.append(lines[i])
        else:  # a function or a variable: up to its end or the start of its body
            while not code(decl[-1]).endswith((";", "{", "}")) and i + 1 < n and not lines[i + 1].startswith("{"):
                i += 1
                decl.append(lines[i])
            last = code(decl[-1])
            body = last.endswith("{") or (i + 1 < n and lines[i + 1].startswith("{"))
            if last.endswith("{"):
                last = last[:-1].rstrip()
            if body:  # skip it, up to its closing brace at the left margin
                while i + 1 < n and not lines[i + 1].startswith("}"):
                    i += 1
                i += 1
            decl[-1] = last if last.endswith(";") else last + ";"
        found.append(("\n".join(decl), comment_text(comment)))
        comment = []
        i += 1
    return comment_text(intro), found


class HeaderDoc(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        root = Path(self.env.srcdir).parent
        path = root / self.arguments[0]
        self.env.note_dependency(str(path))
        intro, found = entries(path.read_text(encoding="utf-8"))
        language = "cpp" if path.suffix == ".hpp" else "c"
        out: list[nodes.Node] = []
        for para in filter(None, intro.split("\n\n")):
            out.append(nodes.literal_block(para, para, language="none"))
        for decl, comment in found:
            if decl is None:
                out.append(nodes.rubric(comment, comment))
                continue
            out.append(nodes.literal_block(decl, decl, language=language))
            for para in filter(None, comment.split("\n\n")):
                out.append(nodes.paragraph(para, para))
        return out


def setup(app):  # type: ignore[no-untyped-def]
    app.add_directive("headerdoc", HeaderDoc)
    return {"parallel_read_safe": True, "version": "1"}
