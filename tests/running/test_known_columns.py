"""A record with only its prediction's probability, scored by a function whose probability
columns follow the class labels, is explained for that column alone, with the response it
had when every column was explained."""
import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LogisticRegression

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.entity.transaction import Transaction, probability_columns
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.running.batch import ModelScoring, explain_one
from veltra_utils.explainability.statistics.training_stats import TrainingStats


def _table(classes, rows=400, seed=0):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({"x": rng.normal(0, 1, rows), "y": rng.normal(0, 1, rows),
                          "n": rng.integers(0, 20, rows), "c": rng.choice(["a", "b", "c"], rows)})
    score = 3 * frame["x"].to_numpy() + 2 * frame["y"].to_numpy() + (frame["c"] == "a") \
        + rng.normal(0, 0.5, rows)
    edges = np.quantile(score, np.linspace(0, 1, classes + 1)[1:-1])
    frame["label"] = ["k%d" % k for k in np.searchsorted(edges, score)]
    return frame


def _setting(classes):
    frame = _table(classes)
    problem = ProblemType.BINARY if classes == 2 else ProblemType.MULTICLASS
    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=["c"], problem_type=problem)
    features = frame[stats.feature_columns].copy()
    features["c"] = (features["c"] == "a").astype(float)
    model = LogisticRegression(max_iter=500).fit(features, frame["label"])

    class OnCodes:  # the model sees the text column as a number
        classes_ = model.classes_

        def predict_proba(self, data):
            data = pd.DataFrame(data, columns=stats.feature_columns)
            data["c"] = (data["c"] == "a").astype(float)
            return model.predict_proba(data)

        def predict(self, data):
            return self.classes_[self.predict_proba(data).argmax(axis=1)]

    config = ExplainConfig(training_stats=stats, problem_type=problem, perturbations_count=300)
    records = []
    for _, row in frame.head(6).iterrows():
        record = {name: row[name] for name in stats.feature_columns}
        probabilities = OnCodes().predict_proba([list(record.values())])[0]
        record["prediction"] = stats.class_labels[int(np.argmax(
            [probabilities[list(model.classes_).index(label)] for label in stats.class_labels]))]
        record["probability"] = float(probabilities.max())
        records.append(record)
    return OnCodes(), stats, config, records


@pytest.mark.parametrize("classes", [2, 10])
def test_one_column_gives_the_response_of_every_column(classes, monkeypatch):
    model, stats, config, records = _setting(classes)
    scorings = [scoring_function(model, stats.feature_columns, config.problem_type,
                                 class_labels=stats.class_labels),
                ModelScoring(model, stats.feature_columns, config.problem_type, stats.class_labels)]
    labels_asked = []
    original = Transaction.get_labels

    def recording(self):
        labels_asked.append(original(self))
        return labels_asked[-1]

    monkeypatch.setattr(Transaction, "get_labels", recording)
    explainer = LimeTabularExplainer(config)
    for record in records:
        every_column = explain_one(explainer, record, lambda rows: scorings[0](rows))
        assert {len(labels) for labels in labels_asked} == {classes}
        position = stats.class_labels.index(record["prediction"])
        for score in scorings:
            labels_asked.clear()
            assert explain_one(LimeTabularExplainer(config), record, score) == every_column
            assert labels_asked and all(labels == [position] for labels in labels_asked)
        labels_asked.clear()
        assert "predictions" in every_column


def test_other_column_orders_keep_every_column():
    _, stats, config, records = _setting(3)
    cases = [None, list(reversed(stats.class_labels)), stats.class_labels[:2]]
    for labels in cases:
        with probability_columns(labels):
            assert Transaction(config, records[0]).get_labels() == [0, 1, 2]
    with probability_columns(stats.class_labels):
        inner = Transaction(config, records[0]).get_labels()
    assert inner == [stats.class_labels.index(records[0]["prediction"])]
    assert Transaction(config, records[0]).get_labels() == [0, 1, 2]  # the block has ended
    regression = scoring_function(LogisticRegression(), ["x"], ProblemType.REGRESSION, class_labels=["a"])
    assert regression.probability_labels is None


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_survives_an_explanation(enabled):
    import gc

    model, stats, config, records = _setting(2)
    score = ModelScoring(model, stats.feature_columns, config.problem_type, stats.class_labels)
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        seen = []
        response = explain_one(LimeTabularExplainer(config), records[0],
                               lambda rows: seen.append(gc.isenabled()) or score(rows))
        assert "predictions" in response and seen and not any(seen)
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
