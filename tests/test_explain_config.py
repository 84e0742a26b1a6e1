import pickle

import numpy as np
import pandas as pd
import pytest
from lime.discretize import QuartileDiscretizer

from veltra_utils.explainability.entity.constants import ExplanationType, InputDataType, ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.statistics.training_stats import TrainingStats


@pytest.fixture(scope="module")
def stats():
    frame = pd.DataFrame({"color": ["red", "blue", "red", "green"], "age": [20, 30, 40, 50],
                          "score": [0.5, 1.5, 2.5, 3.5], "y": ["no", "yes", "no", "yes"]})
    return TrainingStats.from_dataframe(frame, "y", categorical_columns=["color"])


def test_defaults_come_from_the_statistics(stats):
    config = ExplainConfig(training_stats=stats)
    assert config.problem_type is ProblemType.BINARY
    assert config.feature_columns == ["color", "age", "score"]
    assert config.categorical_columns == ["color"]
    assert config.schema == {"color": "string", "age": "long", "score": "double"}
    assert config.input_data_type is InputDataType.STRUCTURED
    assert config.explanation_types == [ExplanationType.LIME]
    # The configuration owns its lists: changing them leaves the statistics alone.
    config.feature_columns.append("extra")
    config.schema["extra"] = "double"
    assert stats.feature_columns == ["color", "age", "score"] and "extra" not in stats.schema


@pytest.mark.parametrize("kwargs, message", [
    ({"categorical_columns": ["color", "city"]}, "'city' is not a feature column"),
    ({"categorical_columns": ["color", "age"]}, "other categorical columns"),
    ({"feature_columns": ["age", "color", "score"]}, "other columns"),
    ({"feature_columns": ["color", "age"]}, "other columns"),
    ({"schema": {"color": "string", "age": "long"}}, "'score'"),
    ({"schema": {"color": "string", "age": "long", "score": None}}, "'score'"),
    ({"problem_type": "binary"}, "ProblemType"),
    ({"problem_type": ProblemType.BINARY, "features_count": 0}, "features_count"),
    ({"features_count": 2.0}, "features_count"),
    ({"features_count": True}, "features_count"),
    ({"perturbations_count": -5}, "perturbations_count"),
    ({"discretizer": "median"}, "discretizer"),
    ({"discretizer": "decile"}, "binned by the 'quartile' discretizer"),
    ({"discretize_continuous": "yes"}, "discretize_continuous"),
    ({"kernel": "rbf"}, "kernel"),
    ({"kernel_width": 0}, "kernel_width"),
    ({"input_data_type": "structured"}, "input_data_type"),
    ({"explanation_types": ["lime"]}, "ExplanationType"),
    ({"explanation_types": ExplanationType.LIME}, "list"),
    ({"prediction_column": "age"}, "feature column"),
    ({"probability_column": "prediction"}, "both"),
    ({"prediction_column": ""}, "prediction_column"),
    ({"show_opposing_features": "yes"}, "show_opposing_features"),
])
def test_inconsistent_settings_are_refused(stats, kwargs, message):
    with pytest.raises(ValueError, match=message):
        ExplainConfig(training_stats=stats, **kwargs)


def test_statistics_must_suit_the_problem_type(stats):
    regression = TrainingStats.from_dataframe(
        pd.DataFrame({"x": [1.0, 2.0, 3.0], "y": [0.5, 1.5, 2.5]}), "y")
    with pytest.raises(ValueError, match="no class labels"):
        ExplainConfig(training_stats=regression, problem_type=ProblemType.BINARY)
    three = TrainingStats.from_dataframe(pd.DataFrame({"x": [1, 2, 3], "y": [0, 1, 2]}), "y",
                                         problem_type="multiclass")
    with pytest.raises(ValueError, match="3 class labels"):
        ExplainConfig(training_stats=three, problem_type=ProblemType.BINARY)
    with pytest.raises(ValueError, match="training statistics"):
        ExplainConfig(training_stats={"feature_columns": ["x"]})
    with pytest.raises(ValueError, match="regression but the training statistics hold the "
                                         "class labels"):
        ExplainConfig(training_stats=stats, problem_type=ProblemType.REGRESSION)


@pytest.mark.parametrize("binned_by", ["quartile", "decile", "entropy"])
def test_discretizer_is_the_one_the_statistics_were_binned_with(binned_by):
    frame = pd.DataFrame({"color": ["red", "blue", "red", "green"], "age": [20, 30, 40, 50],
                          "score": [0.5, 1.5, 2.5, 3.5], "y": ["no", "yes", "no", "yes"]})
    stats = TrainingStats.from_dataframe(frame, "y", categorical_columns=["color"],
                                         discretizer=binned_by)
    assert ExplainConfig(training_stats=stats).discretizer == binned_by
    assert ExplainConfig(training_stats=stats, discretizer=binned_by).discretizer == binned_by
    for other in {"quartile", "decile", "entropy"} - {binned_by}:
        with pytest.raises(ValueError, match="binned by the '{0}' discretizer".format(binned_by)):
            ExplainConfig(training_stats=stats, discretizer=other)
    lime_discretizer = QuartileDiscretizer(np.zeros((2, 3)), [0], stats.feature_columns)
    assert ExplainConfig(training_stats=stats,
                         discretizer=lime_discretizer).discretizer is lime_discretizer


@pytest.mark.parametrize("name", ["k=v", " plan", "plan "])
def test_categorical_names_the_response_cannot_find_again_are_refused(name):
    frame = pd.DataFrame({name: ["a", "b", "a"], "x": [1.0, 2.0, 3.0], "y": [0, 1, 0]})
    stats = TrainingStats.from_dataframe(frame, "y", categorical_columns=[name])
    with pytest.raises(ValueError, match="rename the column"):
        ExplainConfig(training_stats=stats)


def test_opposing_features_are_hidden_unless_asked_and_the_choice_survives_pickling(stats):
    assert ExplainConfig(training_stats=stats).show_opposing_features is False
    shown = ExplainConfig(training_stats=stats, show_opposing_features=np.True_)
    assert pickle.loads(pickle.dumps(shown)).show_opposing_features is True
