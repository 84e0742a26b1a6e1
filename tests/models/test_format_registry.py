"""The registry of model formats: a format added by its one class is recognised, loaded,
scored and explained like the built-in ones, and refused in the same words."""
import math

import numpy as np
import pandas as pd
import pytest

from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.errors import ModelFileError
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models import formats, load_model
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.statistics.training_stats import TrainingStats

MARK = b"weights v1\n"


class Weights:
    """A logistic model written as text: one ``feature weight`` line each, and ``bias``."""

    def __init__(self, weights, bias):
        self.weights, self.bias = weights, bias


class _WeightsScorer:
    def __init__(self, model, columns, labels):
        self.model, self.columns = model, columns
        self.classes_ = np.array(sorted(labels), dtype=object)
        self.feature_names_in_ = np.array(columns, dtype=object)

    def predict_proba(self, frame):
        score = self.model.bias + sum(weight * frame[name].to_numpy(dtype=float)
                                      for name, weight in self.model.weights.items())
        yes = 1.0 / (1.0 + np.exp(-score))
        return np.column_stack([1.0 - yes, yes])

    def predict(self, frame):
        return self.classes_[self.predict_proba(frame).argmax(axis=1)]


class WeightsFormat(formats.ModelFormat):
    name = "weights"
    description = "weights of a logistic model, as text"
    noun = "a weights file"
    title = "weights"

    def detect(self, path, head):
        return head.startswith(MARK)

    def load(self, path, stream, policy):
        lines = stream.read()[len(MARK):].decode("utf-8").split("\n")
        try:
            pairs = dict((name, float(value)) for name, value in
                         (line.split() for line in lines if line.strip()))
        except ValueError as error:
            raise ModelFileError("the model file {0} is not a readable weights file: {1}"
                                 .format(path, error)) from None
        return Weights(pairs, pairs.pop("bias", 0.0))

    def owns(self, model):
        return isinstance(model, Weights)

    def scorer(self, model, columns, problem_type, labels):
        unknown = set(model.weights) - set(columns)
        if unknown:
            raise ValueError("The weights model takes features the statistics do not have: {0}"
                             .format(sorted(unknown)))
        return _WeightsScorer(model, columns, labels)


class TrustedWeightsFormat(WeightsFormat):
    """The same files behind another mark, as if loading them ran their code."""

    name = "trusted-weights"
    noun = "a trusted weights file"
    needs_trust_pickle = True

    def detect(self, path, head):
        return head.startswith(b"trusted " + MARK)

    def load(self, path, stream, policy):
        stream.read(len(b"trusted "))
        return super().load(path, stream, policy)


@pytest.fixture
def registered():
    added = [formats.register(WeightsFormat()), formats.register(TrustedWeightsFormat())]
    yield added
    for model_format in added:
        formats.unregister(model_format.name)


def _training():
    rng = np.random.default_rng(2)
    frame = pd.DataFrame({"tenure": rng.normal(24, 8, 300), "calls": rng.poisson(3, 300)})
    frame["churn"] = np.where(frame.calls * 0.8 - frame.tenure * 0.1 > 0, "yes", "no")
    return frame


def test_a_format_of_one_class_loads_scores_and_explains(registered, tmp_path):
    path = tmp_path / "model.anything"
    path.write_bytes(MARK + b"tenure -0.1\ncalls 0.8\nbias 0\n")
    model = load_model(path)
    assert isinstance(model, Weights) and model.weights == {"tenure": -0.1, "calls": 0.8}

    stats = TrainingStats.from_dataframe(_training(), "churn")
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels)
    record = {"tenure": 3.0, "calls": 7}
    predictions, probabilities = score([[record[name] for name in stats.feature_columns]])
    assert predictions == ["yes"] and probabilities[0][1] == pytest.approx(
        1 / (1 + math.exp(-(7 * 0.8 - 0.3))))
    record.update(prediction=predictions[0], probability=max(probabilities[0]))
    response = LimeTabularExplainer(ExplainConfig(training_stats=stats, perturbations_count=200)
                                    ).explain(record, score)
    features = response["predictions"][0]["explanation_features"]
    assert {feature["feature_name"] for feature in features} <= {"tenure", "calls"} and features


def test_a_registered_format_takes_part_in_listing_and_refusals(registered, tmp_path):
    names = [model_format.name for model_format in formats.FORMATS]
    assert names[:6] == ["skops", "onnx", "xgboost", "lightgbm", "pickle", "mlflow"]
    assert names[6:] == ["weights", "trusted-weights"]
    assert all(model_format.description for model_format in formats.FORMATS)
    assert "or with {trust_pickle} a joblib/pickle file or an MLflow model directory or a " \
           "trusted weights file" in formats.accepted()

    unknown = tmp_path / "unknown.bin"
    unknown.write_bytes(b"nothing any format knows")
    with pytest.raises(ModelFileError, match="a LightGBM text model, a weights file, or with "
                                             "trust_pickle=True a joblib"):
        load_model(unknown)

    trusted = tmp_path / "trusted.bin"
    trusted.write_bytes(b"trusted " + MARK + b"calls 1\n")
    with pytest.raises(ModelFileError, match="is a trusted weights file; loading it can run "
                                             "arbitrary code: pass trust_pickle=True") as caught:
        load_model(trusted)
    assert caught.value.render(lambda option: "--" + option.keyword.replace("_", "-")) \
        .endswith("pass --trust-pickle if you trust its origin")
    assert load_model(trusted, trust_pickle=True).weights == {"calls": 1.0}


def test_the_registry_refuses_a_second_format_of_one_name(registered):
    with pytest.raises(ValueError, match="name of its own"):
        formats.register(WeightsFormat())
    with pytest.raises(ValueError, match="no model format is called 'nothing'"):
        formats.unregister("nothing")


def test_rank_decides_where_a_format_is_asked(registered, tmp_path):
    class Greedy(WeightsFormat):          # recognises every file, asked before the others
        name = "greedy"
        rank = 0

        def detect(self, path, head):
            return True

        def load(self, path, stream, policy):
            return "greedy"

    formats.register(Greedy())
    try:
        assert formats.FORMATS[0].name == "greedy"
        path = tmp_path / "model.bin"
        path.write_bytes(MARK + b"calls 1\n")
        assert load_model(path) == "greedy"
    finally:
        formats.unregister("greedy")
    assert isinstance(load_model(path), Weights)


def test_a_model_of_no_format_is_scored_as_it_is(registered):
    class Constant:
        classes_ = np.array(["no", "yes"], dtype=object)

        def predict_proba(self, rows):
            return np.tile([0.25, 0.75], (len(rows), 1))

        def predict(self, rows):
            return np.array(["yes"] * len(rows), dtype=object)

    model = Constant()
    assert formats.format_of(model) is None and formats.scoring_model(model, ["a"], "binary") \
        is model
    assert formats.portable(model) is model
    score = scoring_function(model, ["a"], "binary", class_labels=["no", "yes"])
    assert score([[1.0]]) == (["yes"], [[0.25, 0.75]])
