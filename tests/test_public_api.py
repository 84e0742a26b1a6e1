"""The package's one-import face and the type information shipped for the compiled classes."""
import ast
import importlib
import inspect
import os
import subprocess
import sys

import veltra_utils.explainability as api
from veltra_utils.explainability.explainers.lime import lime_tabular_explainer as compiled


def test_every_public_name_is_the_object_at_its_own_path():
    for name in api.__all__:
        module = importlib.import_module(api._EXPORTS[name])
        assert getattr(api, name) is getattr(module, name), name
    assert set(api.__all__) <= set(dir(api))


def test_importing_the_package_or_asking_the_command_its_version_loads_no_heavy_dependency():
    for step in ("import veltra_utils.explainability",
                 "from veltra_utils.explainability.cli import main\n"
                 "try:\n    main(['--version'])\nexcept SystemExit:\n    pass"):
        code = ("import sys\n" + step + "\nprint(sorted({'numpy', 'pandas', 'lime', 'sklearn'}"
                " & set(sys.modules)))")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True).stdout
        assert out.strip().splitlines()[-1] == "[]", step


def test_the_stub_describes_the_compiled_classes():
    folder = os.path.dirname(compiled.__file__)
    stub = ast.parse(open(os.path.join(folder, "lime_tabular_explainer.pyi")).read())
    assert os.path.exists(os.path.join(os.path.dirname(api.__file__), os.pardir, "py.typed"))
    classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"LimeTabularExplainer", "LimeTabularResponse"}
    for name, node in classes.items():
        cls = getattr(compiled, name)
        assert ast.get_docstring(node) == cls.__doc__
        public = {key for key in vars(cls) if not key.startswith("_")} | {"__init__"}
        methods = {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        assert set(methods) == public, name
        for method_name, item in methods.items():
            stub_parameters = [argument.arg for argument in item.args.args]
            assert stub_parameters == list(inspect.signature(getattr(cls, method_name)).parameters)
