"""Stability of an explanation: the same response, reproducible extra runs, the surrogate's fit."""
import json

import numpy as np
import pandas as pd
import pytest
from sklearn.datasets import load_iris
from sklearn.linear_model import LinearRegression, LogisticRegression

from churn_batch import churn, records
from veltra_utils.explainability import (
    ExplainConfig,
    ModelScoring,
    TrainingStats,
    explain_record,
    explain_records,
    stability,
    stable_explanation,
)
from veltra_utils.explainability.errors import SettingError
from veltra_utils.explainability.running.stability import Stability, StabilityTask


def _iris():
    data = load_iris(as_frame=True)
    table = data.frame.rename(columns=lambda name: name.replace(" (cm)", "").replace(" ", "_"))
    table["target"] = data.target_names[data.target]
    features = table.drop(columns=["target"])
    model = LogisticRegression(max_iter=500).fit(features, table["target"])
    stats = TrainingStats.from_dataframe(table, "target")
    score = ModelScoring(model, stats.feature_columns, stats.problem_type, stats.class_labels)
    config = ExplainConfig(training_stats=stats, features_count=2, perturbations_count=400)
    return config, score, features.iloc[[0, 60, 120]].to_dict("records"), None


def _line():
    rng = np.random.default_rng(0)
    table = pd.DataFrame({"x1": rng.uniform(0, 10, 300), "x2": rng.uniform(0, 10, 300),
                          "z": rng.normal(size=300)})
    table["y"] = 3 * table.x1 + table.x2
    model = LinearRegression().fit(table[["x1", "x2", "z"]], table.y)
    stats = TrainingStats.from_dataframe(table, "y", problem_type="regression")
    score = ModelScoring(model, stats.feature_columns, stats.problem_type)
    config = ExplainConfig(training_stats=stats, features_count=2, perturbations_count=400)
    rows = table.drop(columns=["y"]).head(3)
    return config, score, rows.to_dict("records"), model.predict(rows)


def _churn():
    problem = churn()
    return problem.config, problem.score, records()[:3], None


@pytest.mark.parametrize("problem", [_churn, _iris, _line], ids=["binary", "multiclass",
                                                                 "regression"])
def test_the_explanation_is_explain_records_own_and_the_runs_repeat(problem):
    config, score, chosen, predicted = problem()
    for position, record in enumerate(chosen):
        result = stability(record, score, config, runs=3)
        assert result.explanation == explain_record(record, score, config)
        assert result.to_dict() == stability(record, score, config, runs=3).to_dict()
        assert result.seeds == (11, 12, 13)
        assert all(1 <= runs.chosen <= 4 and runs.min <= runs.mean <= runs.max
                   for runs in result.features.values())
        explained = result.explanation["predictions"][0]
        # The fit is the surrogate of this explanation, beside the model's value at the record.
        model = explained["probability"] if predicted is None else predicted[position]
        assert result.fit.model == pytest.approx(model)
        assert result.fit.r2 <= 1 and result.fit.local_pred is not None
        assert json.loads(json.dumps(result.to_dict(), allow_nan=False)) == result.to_dict()
        assert Stability.from_dict(result.explanation, result.to_dict()) == result


def test_stable_explanation_raises_perturbations_only_until_the_features_hold():
    config, score, chosen, _ = _line()
    record = chosen[0]
    settled = stable_explanation(record, score, config, max_perturbations=3200)
    assert settled.stable and settled.jaccard >= 0.9
    assert settled.perturbations_count in (400, 800, 1600, 3200)
    at_count = ExplainConfig(training_stats=config.training_stats, features_count=2,
                             perturbations_count=settled.perturbations_count)
    assert settled.explanation == explain_record(record, score, at_count)


def test_a_record_that_cannot_be_explained_has_a_verdict_that_says_so():
    config, score, chosen, _ = _churn()

    def failing(rows):
        raise RuntimeError("the model is down")

    unscored = {name: chosen[0][name] for name in config.feature_columns}
    result = stability(unscored, failing, config)
    assert "error" in result.explanation and not result.stable
    assert result.verdict.startswith("not explained:") and "the model is down" in result.verdict
    assert result.to_dict()["jaccard"] is None


@pytest.mark.parametrize("settings, error, text", [
    (dict(runs=0), ValueError, "runs must be a positive integer"),
    (dict(runs=True), ValueError, "runs must be a positive integer"),
    (dict(target=0), ValueError, "target must be"),
    (dict(target=1.5), ValueError, "target must be"),
    (dict(max_perturbations=100), SettingError,
     "max_perturbations (100) is below perturbations_count (300)"),
])
def test_bad_settings_are_refused_before_any_run(settings, error, text):
    config, score, chosen, _ = _churn()
    with pytest.raises(error) as raised:
        stable_explanation(chosen[0], score, config, **settings)
    assert text in str(raised.value)


def test_every_engine_gives_the_same_stability():
    config, score, chosen, _ = _churn()
    task = StabilityTask(runs=2)
    alone = [stability(record, score, config, runs=2) for record in chosen]
    for workers in (1, 2):
        results = explain_records(chosen, score, config, task=task, workers=workers)
        assert [result.verdict for result in results] == [result.verdict for result in alone]
        assert [sorted(result.features) for result in results] == \
            [sorted(result.features) for result in alone]
