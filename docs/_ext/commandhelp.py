"""The `command-help` directive: a command's reference from its own
argparse parser, the main help and each sub-command's help exactly as
`--help` prints them (80 columns), so the page cannot drift from the command.

    ```{command-help} pyzeb.cli:build_parser
    ```
"""
from __future__ import annotations

import argparse
import importlib
import os

from docutils import nodes
from sphinx.util.docutils import SphinxDirective


def helps(parser: argparse.ArgumentParser) -> list[tuple[str, str]]:
    """(prog, help text) of the parser and of each of its sub-commands."""
    out = [(parser.prog, parser.format_help())]
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub in dict.fromkeys(action.choices.values()):  # aliases share a parser
                out.append((sub.prog, sub.format_help()))
    return out


class CommandHelp(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        module, _, func = self.arguments[0].partition(":")
        columns = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal's width
        try:
            parser = getattr(importlib.import_module(module), func)()
            found = helps(parser)
        finally:
            if columns is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = columns
        out: list[nodes.Node] = []
        for prog, text in found:
            section = nodes.section(ids=[nodes.make_id(prog)])
            section += nodes.title(prog, prog)
            section += nodes.literal_block(text, text, language="none")
            out.append(section)
        return out


def setup(app):  # type: ignore[no-untyped-def]
    app.add_directive("command-help", CommandHelp)
    return {"parallel_read_safe": True, "version": "1"}
