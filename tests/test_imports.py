"""The pyzeb package's modules import one another without circles, and the
command starts without NumPy."""
import ast
import subprocess
import sys
from pathlib import Path

import pytest

import pyzeb

PACKAGE = Path(pyzeb.__file__).parent


def modules() -> dict[str, Path]:
    """Every module of the package by dotted name (a package by its own name)."""
    found = {}
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = ("pyzeb", *path.relative_to(PACKAGE).with_suffix("").parts)
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def runtime_nodes(tree: ast.AST):
    """The nodes that run: those under `if TYPE_CHECKING:` never do."""
    for node in ast.iter_child_nodes(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.unparse(node.test):
            yield from (n for s in node.orelse for n in [s, *runtime_nodes(s)])
            continue
        yield node
        yield from runtime_nodes(node)


def imports(name: str, path: Path, known: dict[str, Path]) -> set[str]:
    """The package's modules that module `name` imports, at module level or in a function."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    out = set()
    for node in runtime_nodes(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package.rsplit(".", node.level - 1)[0] if node.level else ""
            base = ".".join(filter(None, [base, node.module]))
            # "from . import x" imports the module x where there is one, else a name of the package
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in known else base for a in node.names]
        else:
            continue
        for t in targets:
            while t and t not in known:  # "import pyzeb.cli.info" names the innermost module of ours
                t = t.rpartition(".")[0]
            if t and t != name:
                out.add(t)
    return out


def test_no_import_circles():
    known = modules()
    assert {"pyzeb", "pyzeb.cli", "pyzeb.cli._common", "pyzeb._api"} <= set(known)
    graph = {m: imports(m, p, known) for m, p in known.items()}
    state: dict[str, int] = {}  # 1 being visited, 2 done

    def visit(m: str, trail: list[str]) -> None:
        state[m] = 1
        for n in sorted(graph[m]):
            if state.get(n) == 1:
                cycle = trail[trail.index(n):] + [n]
                pytest.fail("import circle: " + " -> ".join(cycle))
            if n not in state:
                visit(n, trail + [n])
        state[m] = 2

    for m in sorted(graph):
        if m not in state:
            visit(m, [m])


def test_command_help_without_numpy():
    code = ("import sys\nfrom pyzeb.cli import build_parser\nbuild_parser().format_help()\n"
            "print(sorted(m for m in ('numpy', 'pyzeb._core', 'pyzeb._api') if m in sys.modules))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and r.stdout == "[]\n", r.stderr


def test_public_namespace_holds_only_public_names():
    import pyzeb.cli  # noqa: F401  (submodules join the namespace once imported)
    public = {n for n in dir(pyzeb) if not n.startswith("_")}
    assert public <= set(pyzeb.__all__) | {"cli", "codecs"} and "TYPE_CHECKING" not in vars(pyzeb)
    assert {"read", "write", "read_stack", "__version__"} <= set(dir(pyzeb))
