"""The classification path with its positive-coefficient retry, the regression path,
and the contributing-feature search, driven through recording stand-ins for LIME."""
import sys
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import Recorder, make_config, module
from veltra_utils.explainability.entity.constants import ProblemType


class FakeLime:
    """Stands in for LIME's tabular explainer; records its explain_instance calls."""

    def __init__(self, log, outcome):
        self.log, self.outcome = log, outcome

    def explain_instance(self, **kwargs):
        self.log.append(kwargs)
        outcome = self.outcome.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


class FakeResponse:
    def __init__(self, explanation, transaction, config, possible_predictions, label_map):
        if explanation == "reject":
            raise Exception("no insight")
        self.explanation, self.dominate = explanation, explanation == "negative"
        self.predictions = [explanation]

    def negative_weights_dominate(self):
        return self.dominate


class Transaction:
    prediction = 1.0

    def __init__(self):
        self.label_calls = 0

    def get_labels(self):
        self.label_calls += 1
        return [1]

    def get_data_row(self):
        return ["red", 10, 1.5]


@pytest.fixture
def run(monkeypatch):
    """Runs one explanation path with LIME outcomes given in order; returns (result, calls, transaction)."""

    def run_path(outcomes, problem_type=ProblemType.BINARY):
        calls, modes = [], []
        monkeypatch.setattr(module, "LimeTabularResponse", FakeResponse)
        explainer = module.LimeTabularExplainer(make_config(problem_type=problem_type))
        explainer._LimeTabularExplainer__get_lime_explainer = lambda mode: modes.append(mode) or FakeLime(
            calls, outcomes)
        transaction = Transaction()
        name = "regression" if problem_type is ProblemType.REGRESSION else "classification"
        result = getattr(explainer, "_LimeTabularExplainer__get_%s_explanation" % name)(
            data_row="row", num_features=4, transaction=transaction)
        return result, calls, modes, transaction

    return run_path


class TestClassification:
    def test_one_run_when_positive_weights_hold(self, run):
        result, calls, modes, transaction = run(["positive"])
        assert result.explanation == "positive" and modes == ["classification"]
        assert list(calls[0]) == ["data_row", "predict_fn", "num_features", "num_samples", "labels"]
        assert calls[0]["num_samples"] == 50 and calls[0]["labels"] == [1]
        predict_proba = module.LimeTabularExplainer._LimeTabularExplainer__predict_proba
        assert calls[0]["predict_fn"].__func__ is predict_proba

    def test_retry_with_positive_coefficients(self, run):
        result, calls, modes, transaction = run(["negative", "negative"])
        assert result.explanation == "negative" and result is not None and len(calls) == 2
        assert modes == ["classification", "classification"] and transaction.label_calls == 2
        assert list(calls[1]) == ["data_row", "predict_fn", "labels", "model_regressor", "num_features",
                                  "num_samples"]
        assert isinstance(calls[1]["model_regressor"], module.PositiveCoefficientsRegressor)

    @pytest.mark.parametrize("second", [RuntimeError("lime failed"), "reject"])
    def test_failed_retry_keeps_the_first_response(self, run, second):
        result, calls, _, _ = run(["negative", second])
        assert result.explanation == "negative" and len(calls) == 2
        assert sys.exc_info() == (None, None, None)

    def test_interrupt_during_retry_propagates(self, run):
        with pytest.raises(KeyboardInterrupt):
            run(["negative", KeyboardInterrupt()])

    def test_rejected_first_response_is_not_retried(self, run):
        with pytest.raises(Exception, match="no insight"):
            run(["reject", "positive"])


class TestShowOpposingFeatures:
    """The setting is read once, right after negative_weights_dominate says the
    negative weights dominate, and with a true value the first response stands."""

    UNSET = object()
    FIRST_RUN = ["lime explainer", "config.perturbations_count", "negative_weights_dominate"]

    def run(self, monkeypatch, first, setting):
        log, calls, outcomes = [], [], [first, "positive"]
        values = vars(make_config())
        if setting is not self.UNSET:
            values["show_opposing_features"] = setting

        class LoggedResponse(FakeResponse):
            def negative_weights_dominate(self):
                log.append("negative_weights_dominate")
                return super().negative_weights_dominate()

        monkeypatch.setattr(module, "LimeTabularResponse", LoggedResponse)
        explainer = module.LimeTabularExplainer(Recorder(log, "config.", **values))
        explainer._LimeTabularExplainer__get_lime_explainer = lambda mode: log.append(
            "lime explainer") or FakeLime(calls, outcomes)
        result = explainer._LimeTabularExplainer__get_classification_explanation(
            data_row="row", num_features=4, transaction=Transaction())
        return result, calls, log

    @pytest.mark.parametrize("setting, first_stands", [
        (True, True), ([0], True), (False, False), ("", False),
        (UNSET, False),  # a configuration from before the setting existed
    ])
    def test_read_only_when_negative_weights_dominate(self, monkeypatch, setting, first_stands):
        read = [] if setting is self.UNSET else ["config.show_opposing_features"]
        result, calls, log = self.run(monkeypatch, "negative", setting)
        if first_stands:
            assert result.explanation == "negative" and len(calls) == 1
            assert log == self.FIRST_RUN + read
        else:
            assert result.explanation == "positive" and len(calls) == 2
            assert log == self.FIRST_RUN + read + ["lime explainer", "config.perturbations_count"]

        result, calls, log = self.run(monkeypatch, "positive", setting)
        assert result.explanation == "positive" and log == self.FIRST_RUN


class TestRegression:
    def test_one_run_without_labels_or_retry(self, run):
        result, calls, modes, transaction = run(["negative"], ProblemType.REGRESSION)
        assert result.explanation == "negative" and modes == ["regression"]
        assert list(calls[0]) == ["data_row", "predict_fn", "num_features", "num_samples"]
        assert transaction.label_calls == 0


class TestPositiveFeatures:
    def search(self, features, predictions, transaction=None):
        explainer = module.LimeTabularExplainer(make_config(feature_columns=["color", "age", "score"]))
        explainer.config.training_stats.cat_cols_encoding_map = {0: np.array(["red", "green", "blue"])}
        scored = []
        explainer.predict_proba = lambda rows: scored.append(rows) or (predictions, None)
        response = SimpleNamespace(predictions=[
            SimpleNamespace(explanation_features=[]),
            SimpleNamespace(explanation_features=[SimpleNamespace(feature_name=f) for f in features]),
            SimpleNamespace(explanation_features=[SimpleNamespace(feature_name="ignored")]),
        ])
        result = explainer._LimeTabularExplainer__get_positive_features(transaction or Transaction(),
                                                                        response)
        return result, scored

    def test_nudges_one_feature_per_record_and_keeps_strict_gains(self):
        result, scored = self.search(["score", "color", "age"], [2.0, 1.0, 0.5])
        assert result == ["score"]  # equal prediction is not a gain
        assert scored == [[["red", 10, 1.5 + 0.5 * 0.1], ["green", 10, 1.5], ["red", 10 + 2.0 * 0.1, 1.5]]]

    def test_no_features_still_scores_once(self):
        explainer = module.LimeTabularExplainer(make_config())
        scored = []
        explainer.predict_proba = lambda rows: scored.append(rows) or ([], [])
        response = SimpleNamespace(predictions=[SimpleNamespace(explanation_features=None)])
        assert explainer._LimeTabularExplainer__get_positive_features(Transaction(), response) == []
        assert scored == [[]]

    @pytest.mark.parametrize("features, predictions, error", [
        (["unknown"], [1.0], ValueError),  # not a feature column
        (["score", "age"], [2.0], IndexError),  # fewer predictions than features
    ])
    def test_failures_propagate(self, features, predictions, error):
        with pytest.raises(error):
            self.search(features, predictions)
