"""The package's layout: each layer imports only from the layers below it, and no module
imports itself back through others. Inside-function imports count as much as the top."""
import ast
from pathlib import Path

PACKAGE = "veltra_utils.explainability"
ROOT = Path(__file__).resolve().parents[1] / "src" / "veltra_utils" / "explainability"

# Lowest first; a module's layer is that of the longest prefix of its name listed here.
LAYERS = [
    ["utils"],
    ["errors", "_optional", "datasets"],
    ["entity", "utils.feature_object_parser_util"],  # the parser builds response entities
    ["explainers"],
    ["tables", "_spark"],
    ["statistics"],
    ["models"],
    ["running"],
    ["report"],
    ["cli", "demo", "__main__"],
]


def _module_name(path):
    parts = list(path.relative_to(ROOT).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join([PACKAGE] + parts)


def _imports(path, name):
    """The package's modules that the module at ``path`` imports, anywhere in it."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[:len(package.split(".")) - node.level + 1]
                base = ".".join(anchor + ([base] if base else []))
            found.update("{0}.{1}".format(base, alias.name) for alias in node.names)
            found.add(base)
    return found


def _graph():
    modules = {_module_name(path): path for path in ROOT.rglob("*.py")}
    graph = {}
    for name, path in modules.items():
        graph[name] = {other for other in _imports(path, name)
                       if other in modules and other != name and other != PACKAGE}
    return graph


def _layer(name):
    relative = name[len(PACKAGE) + 1:]
    matches = [(len(prefix), level) for level, prefixes in enumerate(LAYERS) for prefix in prefixes
               if relative == prefix or relative.startswith(prefix + ".")]
    assert matches, "{0} belongs to no layer; add it to LAYERS".format(name)
    return max(matches)[1]


def test_no_layer_imports_from_a_higher_one():
    graph = _graph()
    upward = sorted("{0} -> {1}".format(name, other) for name, others in graph.items()
                    if name != PACKAGE for other in others if _layer(other) > _layer(name))
    assert upward == []


def test_no_import_circles():
    graph, circles = _graph(), []
    state = {}

    def visit(name, trail):
        state[name] = "open"
        for other in sorted(graph[name]):
            if state.get(other) == "open":
                circles.append(trail[trail.index(other):] + [other])
            elif other not in state:
                visit(other, trail + [other])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [name])
    assert circles == []


def test_no_module_is_longer_than_600_lines():
    long = sorted("{0}: {1}".format(path.relative_to(ROOT), count) for path in ROOT.rglob("*.py")
                  for count in [len(path.read_text().splitlines())] if count > 600)
    assert long == []
