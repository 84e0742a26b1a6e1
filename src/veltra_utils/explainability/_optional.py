"""Optional dependencies: each extra of the package, imported only when a feature needs it."""
import importlib
from types import ModuleType
from typing import Type

from veltra_utils.explainability.errors import MissingDependency, VeltraError

# extra -> the package it installs, as pyproject.toml declares them
EXTRAS = {
    "parquet": "pyarrow",
    "spark": "pyspark",
    "onnx": "onnxruntime",
    "xgboost": "xgboost",
    "lightgbm": "lightgbm",
    "mlflow": "mlflow",
}


def install_hint(extra: str) -> str:
    """What to run to add ``extra``."""
    return 'pip install "veltra_utils[{0}]"'.format(extra)


def require(module: str, extra: str, what: str,
            error: Type[VeltraError] = MissingDependency) -> ModuleType:
    """``module`` imported, or ``error`` saying that ``what`` needs the package of ``extra``
    and how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise error("{0} needs {1}: {2}".format(what, EXTRAS[extra], install_hint(extra))) \
            from None
