"""The package's files import one another one way: no file of src/tarn_gcp
imports, directly or through others, a file that imports it, and the layers
(revert, cloud, plan, cli) import only the layers below them.  Read from the
sources' own import statements, those inside functions included."""

import ast
import pathlib

ROOT = next(p for p in pathlib.Path(__file__).resolve().parents if (p / "pyproject.toml").exists())
PACKAGE = ROOT / "src" / "tarn_gcp"
# Lowest first: a layer imports none of those after it.
LAYERS = ("revert", "cloud", "plan", "cli")


def _modules():
    """Dotted module name -> its file, for every Python file of the package."""
    found = {}
    for path in PACKAGE.rglob("*.py"):
        parts = ("tarn_gcp",) + path.relative_to(PACKAGE).with_suffix("").parts
        found[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return found


def _imports(name, path, modules):
    """The package's modules that the file of module ``name`` imports."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            # from PACKAGE import MODULE imports the module; other names
            # come from the module (or package) named
            for alias in node.names:
                inner = "%s.%s" % (base, alias.name)
                targets.add(inner if inner in modules else base)
    return {t for t in targets if t in modules and t != name}


def _graph():
    modules = _modules()
    return {name: _imports(name, path, modules) for name, path in modules.items()}


def _cycles(graph):
    """The strongly connected groups of more than one module (Tarjan)."""
    index, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for succ in sorted(graph[node]):
            if succ not in index:
                visit(succ)
                low[node] = min(low[node], low[succ])
            elif succ in on_stack:
                low[node] = min(low[node], index[succ])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return groups


def _layer(name):
    parts = name.split(".")
    return LAYERS.index(parts[1]) if len(parts) > 1 and parts[1] in LAYERS else None


def test_no_file_imports_one_that_imports_it():
    graph = _graph()
    assert "tarn_gcp.cli.app" in graph and graph["tarn_gcp.cli.app"], "imports not read"
    assert _cycles(graph) == []


def test_each_layer_imports_only_the_layers_below_it():
    upward = sorted("%s -> %s" % (name, target) for name, targets in _graph().items()
                    for target in targets
                    if _layer(name) is not None and _layer(target) is not None
                    and _layer(target) > _layer(name))
    assert upward == []
