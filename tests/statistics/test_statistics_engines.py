import pickle

import numpy as np
import pandas as pd
import pytest

from same_stats import assert_same_stats
from veltra_utils.explainability.errors import Option, VeltraError
from veltra_utils.explainability.statistics.engines import ENGINES, UnsuitableEngine, engine
from veltra_utils.explainability.statistics.training_stats import AmbiguousLabelError, TrainingStats


def _flag(option):
    return "--{0} {1}".format(option.keyword.replace("_", "-"), option.value.strip('"'))


def test_every_engine_is_registered_with_what_it_needs():
    assert sorted(ENGINES) == ["duckdb", "pandas", "spark"]
    for name, found in ENGINES.items():
        assert found.name == name and engine(name) is found
        assert found.description and "\n" not in found.description
    assert ENGINES["spark"].extra == "spark" and ENGINES["pandas"].extra is None
    with pytest.raises(ValueError, match="engine is 'polars'; expected one of duckdb, pandas, spark"):
        TrainingStats.from_files("train.csv", "y", engine="polars")


def test_a_file_engine_refuses_a_dataframe_and_entropy_names_the_engine_that_can():
    frame = pd.DataFrame({"x": [1.0, 2.0, 3.0], "y": ["a", "b", "a"]})
    with pytest.raises(UnsuitableEngine, match="reads files"):
        ENGINES["duckdb"].summarize_frame(frame, None)
    with pytest.raises(UnsuitableEngine) as raised:
        TrainingStats.from_files("train.csv", "y", discretizer="entropy")
    error = raised.value
    assert isinstance(error, ValueError) and isinstance(error, VeltraError)
    assert str(error).endswith('(TrainingStats.from_dataframe, or engine="pandas")')
    assert error.render(_flag).endswith("or --engine pandas)")


def test_an_ambiguous_label_names_the_argument_in_each_front_end_s_terms():
    frame = pd.DataFrame({"x": np.arange(100.0), "y": np.arange(100)})
    with pytest.raises(AmbiguousLabelError) as raised:
        TrainingStats.from_dataframe(frame, "y")
    error = raised.value
    assert isinstance(error, ValueError) and isinstance(error, VeltraError)
    assert error.label_column == "y" and error.distinct_count == 100
    assert 'pass problem_type="regression" if it is a regression target, or ' \
           'problem_type="multiclass" if they are classes' in str(error)
    assert "pass --problem-type regression if" in error.render(_flag)
    assert error.hint("--problem-type {0}") == error.render(_flag)
    copied = pickle.loads(pickle.dumps(error))  # from a worker process, say
    assert type(copied) is AmbiguousLabelError and str(copied) == str(error)
    assert copied.options["regression"] == Option("problem_type", '"regression"')


def test_a_frame_and_its_file_give_the_same_statistics_with_every_file_engine(tmp_path):
    rng = np.random.RandomState(5)
    frame = pd.DataFrame({"money": rng.normal(50, 9, 200), "plan": rng.choice(["a", "b"], 200),
                          "y": rng.choice(["no", "yes"], 200)})
    frame.loc[::9, "money"] = np.nan
    path = tmp_path / "train.parquet"
    frame.to_parquet(path)
    expected = TrainingStats.from_dataframe(frame, "y", discretizer="decile")
    for name in ("pandas", "duckdb"):
        computed = TrainingStats.from_files(path, "y", engine=name, discretizer="decile")
        assert_same_stats(computed.to_dict(), expected.to_dict())
    assert TrainingStats.from_files(path, "y", engine="pandas").to_json() == \
        TrainingStats.from_dataframe(frame, "y").to_json()  # byte for byte
