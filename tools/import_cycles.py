"""Fails when modules of a package import one another in a circle.

Every import statement counts wherever it stands: one inside a function or
under `if TYPE_CHECKING:` only hides a circle from the interpreter, and the two
modules still cannot be understood or changed apart. Importing `a.b.c` also
runs the `__init__` of `a.b` first, so that counts too, except from inside
`a.b` itself (its `__init__` has started by then).

    python tools/import_cycles.py [PACKAGE_DIR]    (default: src/orvalnest)

Prints each circle as `a -> b -> a` and exits 1 if there is one.
"""

from __future__ import annotations

import ast
import sys
from collections.abc import Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def module_names(package: Path) -> dict[str, Path]:
    """Dotted name -> file, for every Python source of the package."""
    modules = {}
    for path in sorted(package.rglob("*.py")):
        parts = path.relative_to(package.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        modules[".".join(parts)] = path
    return modules


def imported_names(module: str, path: Path, is_package: bool) -> Iterator[str]:
    """Every dotted name an import statement in the file can load."""
    tree = ast.parse(path.read_bytes(), filename=str(path))
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                # The package a relative import starts from: the module's own
                # package, one step up for each dot beyond the first.
                parts = module.split(".")
                keep = len(parts) - node.level + (1 if is_package else 0)
                base = ".".join(parts[:keep] + ([node.module] if node.module else []))
            else:
                base = node.module or ""
            yield base
            yield from (f"{base}.{alias.name}" for alias in node.names)


def import_graph(package: Path) -> dict[str, set[str]]:
    modules = module_names(package)
    graph: dict[str, set[str]] = {name: set() for name in modules}
    for module, path in modules.items():
        for name in imported_names(module, path, path.name == "__init__.py"):
            parts = name.split(".")
            for end in range(1, len(parts) + 1):
                target = ".".join(parts[:end])
                inside = module == target or module.startswith(target + ".")
                if target in modules and not inside:
                    graph[module].add(target)
    return graph


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """One circle through each group of modules that reach one another (Tarjan's components)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[list[str]] = []

    def visit(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in sorted(graph[node]):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            component = set()
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.add(member)
                if member == node:
                    break
            if len(component) > 1:
                found.append(circle(graph, component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def circle(graph: dict[str, set[str]], component: set[str]) -> list[str]:
    """A shortest path from the component's first module back to itself, inside the component."""
    start = min(component)
    paths = {start: [start]}
    frontier = [start]
    while frontier:
        following = []
        for node in frontier:
            for target in sorted(graph[node] & component):
                if target == start:
                    return [*paths[node], start]
                if target not in paths:
                    paths[target] = [*paths[node], target]
                    following.append(target)
        frontier = following
    raise AssertionError("a strongly connected component always holds a circle")


def main(argv: list[str]) -> int:
    package = Path(argv[0]) if argv else ROOT / "src" / "orvalnest"
    graph = import_graph(package)
    found = cycles(graph)
    for path in found:
        print("import cycle: " + " -> ".join(path))
    if not found:
        print(f"no import cycle among the {len(graph)} modules of {package.name}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
