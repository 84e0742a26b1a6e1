import json

import numpy as np
import pytest

from veltra_utils.explainability.entity.explain_response import (
    Error,
    ErrorTarget,
    ExplanationFeature,
    FeatureRange,
    LimeExplanation,
    LimeExplanationSchema,
    Prediction,
)


def strict_json(result):
    assert json.loads(json.dumps(result, allow_nan=False)) == result
    return result


def dump(entity):
    # Whatever went in, the result must be strict JSON.
    return strict_json(LimeExplanationSchema().dump(entity))


def test_success_dump():
    features = [
        ExplanationFeature("color", 0.6, feature_value="red", is_categorical=True),
        ExplanationFeature("age", np.float64(-0.4),
                           feature_range=FeatureRange(30.0, np.float32(40.0), False, True)),
    ]
    result = dump(LimeExplanation(predictions=[
        Prediction(value="yes", explanation_features=features, probability=np.float64(0.8)),
        Prediction(value="no", explanation_features=None, probability=0.2)]))
    assert result == {"predictions": [
        {"value": "yes", "probability": 0.8, "explanation_features": [
            {"feature_name": "color", "weight": 0.6, "feature_value": "red",
             "is_categorical": True},
            {"feature_name": "age", "weight": -0.4, "is_categorical": False,
             "feature_range": {"min": 30.0, "max": 40.0, "min_inclusive": False,
                               "max_inclusive": True}}]},
        {"value": "no", "probability": 0.2}]}


@pytest.mark.parametrize("value, expected", [
    (np.int64(3), 3), (np.bool_(True), True), (2.5, 2.5), (False, False), ("Others", "Others"),
    (np.str_("b"), "b"), (float("nan"), None), (np.float32("inf"), None),
])
def test_prediction_values_of_any_json_type(value, expected):
    result = dump(LimeExplanation(predictions=[Prediction(value=value, probability=None)]))
    assert result == {"predictions": [{"value": expected}]}
    assert type(result["predictions"][0]["value"]) is type(expected)


def test_non_finite_numbers_become_null_but_keep_their_field():
    feature = ExplanationFeature("x", float("nan"),
                                 feature_range=FeatureRange(None, float("inf"), False, True))
    result = dump(LimeExplanation(predictions=[
        Prediction(value=1.0, explanation_features=[feature], probability=float("-inf"))]))
    prediction = result["predictions"][0]
    assert prediction["probability"] is None
    assert prediction["explanation_features"][0]["weight"] is None
    assert prediction["explanation_features"][0]["feature_range"]["max"] is None


def test_error_dump():
    error = Error(code="KTRES1001E", message="There was an error. boom",
                  target=ErrorTarget("field", "lime"), vals=["boom", np.float64("nan"), np.int8(2)])
    assert dump(LimeExplanation(error=error)) == {"error": {
        "code": "KTRES1001E", "message": "There was an error. boom",
        "target": {"type": "field", "name": "lime"}, "vals": ["boom", None, 2]}}
    assert dump(LimeExplanation(error=Error("E1", "m"))) == {"error": {"code": "E1",
                                                                       "message": "m"}}
    # Mappings dump like entities.
    assert dump({"error": {"code": "E1", "message": "m", "vals": None}}) == {
        "error": {"code": "E1", "message": "m"}}


def test_compiled_explainer_answers_with_these_entities():
    module = pytest.importorskip(
        "veltra_utils.explainability.explainers.lime.lime_tabular_explainer")
    import pandas as pd
    from sklearn.linear_model import LogisticRegression

    from veltra_utils.explainability.entity.explain_config import ExplainConfig
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    rng = np.random.default_rng(1)
    frame = pd.DataFrame({"color": rng.choice(["red", "green", "blue"], 300),
                          "visits": rng.integers(1, 9, 300), "income": rng.normal(50, 10, 300)})
    frame["label"] = np.where((frame.color == "red") + frame.visits * 0.3
                              - (frame.income - 50) / 10 > 1.5, "yes", "no")

    def encode(rows):
        return np.array([[row[0] == "red", row[1], row[2]] for row in rows], dtype=float)

    model = LogisticRegression(max_iter=2000).fit(encode(frame.values), frame.label)

    def score(rows):
        return model.predict(encode(rows)).tolist(), model.predict_proba(encode(rows)).tolist()

    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=["color"])
    explainer = module.LimeTabularExplainer(
        ExplainConfig(training_stats=stats, features_count=3, perturbations_count=500))
    predictions, probabilities = score([["red", 5, 45.0]])
    result = strict_json(explainer.explain({"color": "red", "visits": 5, "income": 45.0,
                                     "prediction": predictions[0],
                                     "probability": probabilities[0]}, score))

    explained, others = result["predictions"]
    assert explained["value"] == "yes" and others == {
        "value": "no", "probability": pytest.approx(1 - explained["probability"])}
    features = {feature["feature_name"]: feature for feature in explained["explanation_features"]}
    assert set(features) == {"color", "visits", "income"}
    assert features["color"]["feature_value"] == "red" and features["color"]["is_categorical"]
    assert sum(abs(feature["weight"]) for feature in features.values()) == pytest.approx(1.0)

    failed = strict_json(explainer.explain({"color": "purple", "visits": 5, "income": 45.0,
                                     "prediction": "yes", "probability": 0.9}, score))
    assert failed["error"]["code"] == "KTRES1001E" and "'purple'" in failed["error"]["message"]
