"""The scoring-function adapter around fitted scikit-learn models."""
import warnings

import numpy as np
import pandas as pd
import pytest
from sklearn.compose import ColumnTransformer
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.models.scoring import plain_lists, scoring_function

COLUMNS = ["plan", "tenure"]
TRAIN = pd.DataFrame({"plan": ["basic", "premium", "basic", "premium", "basic", "premium"],
                      "tenure": [1, 2, 3, 30, 40, 50]})
CHURN = ["yes", "yes", "yes", "no", "no", "no"]


@pytest.fixture(scope="module")
def pipeline():
    encode = ColumnTransformer([("plan", OneHotEncoder(), ["plan"])], remainder="passthrough")
    return make_pipeline(encode, LogisticRegression()).fit(TRAIN, CHURN)


def test_classification_pipeline_gets_a_frame_and_returns_plain_lists(pipeline):
    score = scoring_function(pipeline, COLUMNS, ProblemType.BINARY)
    predictions, probabilities = score([["basic", 2], ["premium", 45]])
    assert predictions == ["yes", "no"] and all(type(value) is str for value in predictions)
    assert len(probabilities) == 2 and all(len(row) == 2 for row in probabilities)
    assert all(type(value) is float for row in probabilities for value in row)
    assert probabilities == pipeline.predict_proba(
        pd.DataFrame([["basic", 2], ["premium", 45]], columns=COLUMNS)).tolist()
    assert score([]) == ([], [])


def test_regression_on_an_array_model_returns_no_probabilities():
    model = LinearRegression().fit(np.array([[0, 1], [1, 0], [2, 2]]), [1.0, 2.0, 5.0])
    score = scoring_function(model, ["a", "b"], "regression")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a frame would draw sklearn's feature-name warning
        predictions, probabilities = score([[0, 1], [2, 2]])
    assert probabilities is None and predictions == pytest.approx([1.0, 5.0])
    assert all(type(value) is float for value in predictions)
    assert score([]) == ([], None)


@pytest.mark.parametrize("output, expected", [
    ((np.array([[1.5], [2.0]]), None), ([1.5, 2.0], None)),                # regression column
    ((pd.Series(np.array([0, 1], dtype=np.int64)), pd.DataFrame([[0.75, 0.25], [0.5, 0.5]])),
     ([0, 1], [[0.75, 0.25], [0.5, 0.5]])),
    ((np.array(["no", "yes"], dtype=object), [np.array([0.75, 0.25]), [np.float32(0.5), 0.5]]),
     (["no", "yes"], [[0.75, 0.25], [0.5, 0.5]])),
])
def test_plain_lists_gives_python_lists_of_python_scalars(output, expected):
    predictions, probabilities = plain_lists(lambda rows: output)([[0.0]])
    assert (predictions, probabilities) == expected
    for value in predictions + [p for row in probabilities or [] for p in row]:
        assert type(value) in (int, float, str)
    assert isinstance(predictions, list) and (probabilities is None
                                              or all(type(row) is list for row in probabilities))


def test_integer_labels_come_back_as_python_ints():
    model = LogisticRegression().fit(TRAIN[["tenure"]], [0, 0, 0, 1, 1, 1])
    predictions, _ = scoring_function(model, ["tenure"], "binary")([[2], [45]])
    assert predictions == [0, 1] and all(type(value) is int for value in predictions)


def test_probability_columns_follow_the_given_class_order(pipeline):
    natural = scoring_function(pipeline, COLUMNS, "binary")
    swapped = scoring_function(pipeline, COLUMNS, "binary", class_labels=["yes", "no"])
    same = scoring_function(pipeline, COLUMNS, "binary", class_labels=["no", "yes"])
    rows = [["basic", 2], ["premium", 45]]
    assert swapped(rows)[1] == [row[::-1] for row in natural(rows)[1]]
    assert same(rows) == natural(rows)


@pytest.mark.parametrize("arguments, message", [
    (dict(class_labels=["no", "maybe"]), "predicts the classes"),
    (dict(class_labels=["no", "yes", "maybe"]), "predicts the classes"),
])
def test_refuses_class_labels_the_model_does_not_have(pipeline, arguments, message):
    with pytest.raises(ValueError, match=message):
        scoring_function(pipeline, COLUMNS, "binary", **arguments)


def test_classification_needs_predict_proba():
    model = LinearRegression().fit([[0], [1]], [0.0, 1.0])
    with pytest.raises(ValueError, match="predict_proba"):
        scoring_function(model, ["a"], ProblemType.MULTICLASS)


def test_schema_typed_frames_score_like_inferred_ones():
    from sklearn.preprocessing import FunctionTransformer

    frame = pd.DataFrame({"plan": ["a", "b", "a", "b"], "n": [1, 2, 3, 5], "x": [0.5, 1.5, 2.0, 4.0]})
    seen = []
    model = make_pipeline(
        FunctionTransformer(lambda data: seen.append(data.dtypes.tolist()) or data),
        ColumnTransformer([("numbers", "passthrough", ["n", "x"])]), LinearRegression(),
    ).fit(frame, [1.0, 2.0, 3.0, 4.0])
    del seen[:]
    schema = {"plan": "string", "n": "long", "x": "double"}
    typed = scoring_function(model, ["plan", "n", "x"], "regression", schema=schema)
    inferred = scoring_function(model, ["plan", "n", "x"], "regression")
    rows = [["a", 2, np.float64(1.5)], ["b", 7, np.float64(-3.0)]]
    assert typed(rows) == inferred(rows)
    assert seen[0][1:] == seen[1][1:] == [np.dtype("int64"), np.dtype("float64")]
    assert seen[0][0] == np.dtype(object)  # text stays object: models take it faster than pandas' text dtype
    # A fractional value in an integer column is never truncated: the frame is inferred instead.
    assert typed([["a", 2.5, 1.0]]) == inferred([["a", 2.5, 1.0]])


@pytest.mark.parametrize("dtype, kind", [
    ("int8", np.int64), ("uint16", np.int64), ("int32", np.int64), ("uint64", np.int64),
    ("Int64", np.int64), ("float32", np.float64), ("float64", np.float64), ("bool", None),
    ("object", None),
])
def test_the_adapter_reads_every_type_name_the_statistics_write(dtype, kind):
    from veltra_utils.explainability.statistics.training_stats import TrainingStats
    from veltra_utils.explainability.utils.values import numeric_dtype

    values = [True, False, True] if dtype == "bool" else ["a", "b", "a"] if dtype == "object" \
        else [1, 2, 3]
    frame = pd.DataFrame({"x": pd.Series(values, dtype=dtype), "y": [0, 1, 0]})
    categorical = ["x"] if kind is None else []
    stats = TrainingStats.from_dataframe(frame, "y", categorical_columns=categorical)
    assert numeric_dtype(stats.schema["x"]) is kind
