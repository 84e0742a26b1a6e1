"""Shared helpers for the explainer tests: light configurations and recorders."""
from types import SimpleNamespace

import numpy as np
import pytest

from veltra_utils.explainability.entity.constants import (
    ExplanationType,
    InputDataType,
    ProblemType,
)
from veltra_utils.explainability.explainers.lime import lime_tabular_explainer as module


class Recorder:
    """An attribute bag that logs every attribute read, in order."""

    def __init__(self, log, prefix, **values):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_prefix", prefix)
        object.__setattr__(self, "_values", values)

    def __getattr__(self, name):
        values = object.__getattribute__(self, "_values")
        if name not in values:
            raise AttributeError(name)
        object.__getattribute__(self, "_log").append(object.__getattribute__(self, "_prefix") + name)
        return values[name]


def make_stats(**overrides):
    values = dict(
        cat_col_indexes=[0],
        cat_cols_encoding_map={0: np.array(["red", "green", "blue"])},
        stds=[0.0, 2.0, 0.5],
        class_labels=["no", "yes"],
        get_lime_stats=lambda: {"stats": True},
    )
    values.update(overrides)
    return SimpleNamespace(**values)


def make_config(**overrides):
    values = dict(
        feature_columns=["color", "age", "score"],
        categorical_columns=["color"],
        schema={"color": "string", "age": "integer", "score": "double"},
        training_stats=make_stats(),
        problem_type=ProblemType.BINARY,
        input_data_type=InputDataType.STRUCTURED,
        explanation_types=[ExplanationType.LIME],
        features_count=10,
        perturbations_count=50,
        discretize_continuous=True,
        discretizer="quartile",
        sample_around_instance=False,
        kernel=None,
        kernel_width=None,
    )
    values.update(overrides)
    return SimpleNamespace(**values)


@pytest.fixture
def lime_module():
    return module


@pytest.fixture
def explainer():
    return module.LimeTabularExplainer(make_config())


def private(obj, name):
    """A private method of one of the module's classes, by its unmangled name."""
    return getattr(obj, "_%s%s" % (type(obj).__name__, name))


@pytest.fixture(scope="module")
def monkeypatch_module():
    with pytest.MonkeyPatch.context() as patch:
        yield patch


def spark_test_session(monkeypatch):
    """A local[2] Spark session for one test module, with its workers on this interpreter.

    Skips where PySpark, pyarrow or Java is missing. The caller stops the session.
    """
    import shutil
    import sys

    pytest.importorskip("pyspark")
    pytest.importorskip("pyarrow")
    if shutil.which("java") is None:
        pytest.skip("Spark needs a Java runtime")
    from pyspark.sql import SparkSession

    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    session = (SparkSession.builder.master("local[2]").appName("veltra-tests")
               .config("spark.sql.shuffle.partitions", "2")
               .config("spark.ui.enabled", "false")
               .config("spark.sql.execution.arrow.pyspark.enabled", "true")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    return session
