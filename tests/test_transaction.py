import re

import numpy as np
import pandas as pd
import pytest

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.entity.transaction import Transaction
from veltra_utils.explainability.statistics.training_stats import TrainingStats
from veltra_utils.explainability.utils.values import GAP_CATEGORY

FRAME = pd.DataFrame({"color": ["red", "blue", "red", "green"], "grade": [3, 1, 2, 1],
                      "age": [20, 30, 40, 50], "score": [0.5, 1.5, 2.5, 3.5],
                      "y": ["no", "yes", "no", "yes"]})


def config_for(problem_type=ProblemType.BINARY, label="y", frame=FRAME):
    stats = TrainingStats.from_dataframe(frame, label, categorical_columns=["color", "grade"],
                                         problem_type=problem_type)
    return ExplainConfig(training_stats=stats)


def record(**changes):
    row = {"color": "red", "grade": 2, "age": 33, "score": 1.25,
           "prediction": "yes", "probability": [0.2, 0.8]}
    row.update(changes)
    return {key: value for key, value in row.items() if value is not KeyError}


def test_rows_in_model_and_lime_form():
    transaction = Transaction(config_for(), pd.Series(record(age=np.int64(33),
                                                             score=np.float32(1.25))))
    row = transaction.get_data_row()
    assert row == ["red", 2, 33, 1.25] and [type(v) for v in row] == [str, int, int, float]
    encoded = transaction.get_encoded_data_row()
    assert encoded.dtype == np.float64 and encoded.tolist() == [2.0, 1.0, 33.0, 1.25]
    # Callers get copies they may change freely.
    row[0] = "blue"
    encoded[0] = 0.0
    assert transaction.get_data_row()[0] == "red"
    assert transaction.get_encoded_data_row()[0] == 2.0


@pytest.mark.parametrize("prediction, probability, expected_probability, labels", [
    ("yes", [0.2, 0.8], 0.8, [1]),
    ("no", np.array([0.6, 0.4]), 0.6, [0]),
    ("yes", 0.8, 0.8, [0, 1]),
    ("yes", np.float64(1), 1.0, [0, 1]),
])
def test_probability_and_labels_of_classification(prediction, probability,
                                                  expected_probability, labels):
    transaction = Transaction(config_for(), record(prediction=prediction,
                                                   probability=probability))
    assert transaction.prediction == prediction
    assert transaction.probability == expected_probability
    assert type(transaction.probability) is float
    assert transaction.get_labels() == labels


@pytest.mark.parametrize("labels, prediction, position", [
    (["no", "yes"], "maybe", None),          # a class the model was never trained on
    ([0, 1], 1, 1),
    ([0, 1], np.int64(1), 1),
    ([0, 1], 1.0, 1),                        # the same number, read as a float
    ([0, 1], 2, None),
    ([0, 1], "1", None),                     # text is not the number
    (["0", "1"], 1, None),
])
def test_prediction_must_be_one_of_the_class_labels(labels, prediction, position):
    config = config_for(frame=FRAME.assign(y=labels * 2))
    row = record(prediction=prediction, probability=[0.3, 0.7])
    if position is None:
        with pytest.raises(ValueError, match=r"prediction {0} in the field 'prediction' is not "
                           r"one of the model's class labels: {1}, {2}$".format(
                               *(re.escape(repr(value)) for value in [prediction] + labels))):
            Transaction(config, row)
    else:
        assert Transaction(config, row).get_labels() == [position]


def test_regression_has_no_probability_or_labels():
    frame = FRAME.assign(y=[1.5, 2.5, 3.5, 4.5])
    transaction = Transaction(config_for(ProblemType.REGRESSION, frame=frame),
                              record(prediction=np.float64(2.75), probability=KeyError))
    assert transaction.prediction == 2.75 and type(transaction.prediction) is float
    assert transaction.probability is None and transaction.get_labels() == []


@pytest.mark.parametrize("changes, message", [
    ({"age": KeyError}, "feature 'age'"),
    ({"age": None}, "feature 'age' has no value"),
    ({"color": "purple"}, "'color' has the value 'purple'"),
    ({"color": None}, "feature 'color' has no value"),  # the training data had no gaps there
    ({"grade": 7}, "'grade' has the value 7"),
    ({"score": "1.5"}, "numeric feature 'score'"),
    ({"score": float("nan")}, "feature 'score' has no value"),
    ({"age": float("inf")}, "non-finite"),
    ({"age": 10 ** 400}, "'age' has the value 1000.*beyond the floating-point range"),
    ({"score": 1e23}, r"'score' has the value 1e\+23, too large to explain"),  # LIME's bins
    ({"prediction": KeyError}, "no prediction in the field 'prediction'"),
    ({"prediction": ["yes"]}, "single value"),
    ({"probability": KeyError}, "no probability in the field 'probability'"),
    ({"probability": [0.5, 0.3, 0.2]}, "3 entries"),
    ({"probability": 1.5}, "from 0 to 1"),
    ({"probability": [0.2, float("nan")]}, "from 0 to 1"),
    ({"probability": "0.8"}, "from 0 to 1"),
])
def test_bad_records_are_refused_naming_the_field(changes, message):
    with pytest.raises(ValueError, match=message):
        Transaction(config_for(), record(**changes))


@pytest.mark.parametrize("gap", [None, float("nan"), pd.NA])
def test_a_categorical_gap_is_the_category_of_the_training_gaps(gap):
    frame = FRAME.assign(color=["red", None, "red", "green"])
    transaction = Transaction(config_for(frame=frame), record(color=gap))
    assert transaction.get_data_row()[0] is GAP_CATEGORY  # NaN: what imputers take as missing
    assert transaction.config.training_stats.cat_cols_encoding_map[0].tolist() == [
        "green", "red", GAP_CATEGORY]
    assert transaction.get_encoded_data_row()[0] == 2.0


def test_regression_prediction_must_be_a_number():
    frame = FRAME.assign(y=[1.5, 2.5, 3.5, 4.5])
    with pytest.raises(ValueError, match="finite number"):
        Transaction(config_for(ProblemType.REGRESSION, frame=frame), record(prediction="high"))
    with pytest.raises(ValueError, match="mapping"):
        Transaction(config_for(), ["red", 2, 33, 1.25])
