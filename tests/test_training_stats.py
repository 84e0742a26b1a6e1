import json

import numpy as np
import pandas as pd
import pytest
from lime.discretize import QuartileDiscretizer
from lime.lime_tabular import LimeTabularExplainer
from sklearn.compose import ColumnTransformer
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris, load_wine
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import OneHotEncoder

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.training_stats import TrainingStats
from veltra_utils.explainability.utils.feature_object_parser_util import FeatureObjectParserUtil


def mixed_frame(rows=400, seed=3):
    """Text categories, integers with a mass at their minimum, floats and a constant column."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "color": rng.choice(["red", "green", "blue"], size=rows),
        "visits": np.where(rng.random(rows) < 0.4, 1, rng.integers(1, 9, size=rows)),
        "income": rng.normal(50.0, 12.0, size=rows).round(2),
        "region_code": np.full(rows, 7),
    })
    score = (frame.color == "red") * 1.5 + frame.visits * 0.4 - (frame.income - 50) / 10
    frame["label"] = np.where(score + rng.normal(0, 0.5, rows) > 1.8, "yes", "no")
    return frame


def lime_explainer(stats, mode="classification"):
    return LimeTabularExplainer(
        training_data=np.zeros((1, len(stats.feature_columns))),
        feature_names=stats.feature_columns, categorical_features=stats.cat_col_indexes,
        categorical_names=stats.cat_cols_encoding_map, mode=mode, random_state=10,
        training_data_stats=stats.get_lime_stats(), discretize_continuous=True)


def test_small_frame_by_hand():
    frame = pd.DataFrame({"x": [1, 2, 3, 4, 5, 6, 7, 8],
                          "c": ["b", "a", "b", "c", "b", "a", "b", "b"],
                          "y": [0, 1, 0, 1, 0, 1, 1, 0]})
    stats = TrainingStats.from_dataframe(frame, "y", categorical_columns=["c"])

    assert stats.problem_type is ProblemType.BINARY
    assert stats.feature_columns == ["x", "c"] and stats.cat_col_indexes == [1]
    assert stats.class_labels == [0, 1] and type(stats.class_labels[0]) is int
    assert stats.schema == {"x": "long", "c": "string"}
    assert stats.stds == pytest.approx([np.sqrt(5.25), 0.0])
    assert stats.cat_cols_encoding_map[1].tolist() == ["a", "b", "c"]

    lime_stats = stats.get_lime_stats()
    assert lime_stats["bins"] == {0: [2.75, 4.5, 6.25]}
    assert lime_stats["means"] == {0: [1.5, 3.5, 5.5, 7.5]}
    assert lime_stats["stds"][0] == pytest.approx([0.5] * 4, abs=1e-10)
    assert lime_stats["mins"] == {0: [1.0, 2.75, 4.5, 6.25]}
    assert lime_stats["maxs"] == {0: [2.75, 4.5, 6.25, 8.0]}
    assert lime_stats["feature_values"] == {0: [0, 1, 2, 3], 1: [0, 1, 2]}
    assert lime_stats["feature_frequencies"] == {0: [2, 2, 2, 2], 1: [2, 5, 1]}

    lime_stats["means"][0].append(99.0)
    assert stats.get_lime_stats()["means"][0] == [1.5, 3.5, 5.5, 7.5]

    from_rows = TrainingStats(frame.values.tolist(), list(frame.columns), "y",
                              categorical_columns=["c"])
    assert from_rows.get_lime_stats() == stats.get_lime_stats()
    assert from_rows.schema == stats.schema


@pytest.mark.parametrize("loader, problem_type", [
    (load_iris, ProblemType.MULTICLASS), (load_wine, ProblemType.MULTICLASS),
    (load_breast_cancer, ProblemType.BINARY), (load_diabetes, ProblemType.REGRESSION)])
def test_numeric_statistics_equal_lime_quartile_discretizer(loader, problem_type):
    frame = loader(as_frame=True).frame
    stats = TrainingStats.from_dataframe(frame, "target")
    assert stats.problem_type is problem_type
    data = frame[stats.feature_columns].to_numpy(dtype=float)
    reference = QuartileDiscretizer(data, [], stats.feature_columns)
    lime_stats = stats.get_lime_stats()
    for position in range(data.shape[1]):
        expected = {key: list(getattr(reference, key)[position])
                    for key in ("means", "stds", "mins", "maxs")}
        frequencies = lime_stats["feature_frequencies"][position]
        for index, count in enumerate(frequencies):
            if count and expected["mins"][index] == expected["maxs"][index]:
                # A bin holding a single value: LIME would draw 0 from its
                # mean and std, these make it draw the value itself.
                expected["means"][index], expected["stds"][index] = 0.0, 1.0
        for key, values in expected.items():
            assert lime_stats[key][position] == pytest.approx(values, rel=1e-12, abs=1e-12)
        discretized = reference.discretize(data)[:, position]
        assert frequencies == [int(np.sum(discretized == value))
                               for value in lime_stats["feature_values"][position]]
    assert stats.stds == pytest.approx(data.std(axis=0).tolist())


def test_lime_explains_a_real_model_from_the_statistics_alone():
    frame = mixed_frame()
    features = ["color", "visits", "income", "region_code"]
    model = make_pipeline(
        ColumnTransformer([("onehot", OneHotEncoder(), ["color"])], remainder="passthrough"),
        LogisticRegression(max_iter=1000)).fit(frame[features], frame.label)
    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=["color"])
    assert stats.class_labels == list(model.classes_)

    batches = []

    def predict_fn(rows):
        decoded = pd.DataFrame(rows, columns=features)
        decoded["color"] = stats.cat_cols_encoding_map[0][rows[:, 0].astype(int)]
        batches.append(decoded)
        return model.predict_proba(decoded)

    record = np.array([2.0, 3.0, 41.5, 7.0])  # red, 3 visits
    explanation = lime_explainer(stats).explain_instance(
        record, predict_fn, labels=[1], num_features=4, num_samples=2000)

    perturbed = batches[0]
    assert set(perturbed.color) <= {"blue", "green", "red"}
    assert (perturbed.region_code == 7).all()
    assert perturbed.visits.between(1, 8).all()
    assert perturbed.income.between(frame.income.min(), frame.income.max()).all()
    # A third of the training visits sit at the minimum, 1: sampling must keep them there.
    assert (perturbed.visits == 1).mean() > 0.2

    described = dict(explanation.as_list(label=1))
    assert "color=red" in described
    for description, weight in described.items():
        feature = FeatureObjectParserUtil.get_feature_object(
            (description, weight), is_categorical=description.startswith("color="),
            discretize_continuous=True)
        assert feature.feature_name in features


def test_regression_statistics_work_in_lime():
    frame = load_diabetes(as_frame=True).frame
    stats = TrainingStats.from_dataframe(frame, "target")
    assert stats.class_labels == []
    batches = []

    def predict_fn(rows):
        batches.append(rows)
        return rows @ np.arange(10.0)

    explanation = lime_explainer(stats, mode="regression").explain_instance(
        frame.iloc[0, :10].to_numpy(), predict_fn, num_features=3, num_samples=500)
    assert len(explanation.as_list()) == 3
    # "sex" holds two values and its lowest quartile is its minimum.
    sex = stats.feature_columns.index("sex")
    assert set(np.round(batches[0][:, sex], 8)) == set(np.round(frame.sex.unique(), 8))


def test_json_round_trip_keeps_types_and_lime_statistics():
    frame = mixed_frame(rows=60)
    frame["grade"] = np.tile([3, 1, 2], 20)
    frame["flag"] = np.tile([True, False], 30)
    stats = TrainingStats.from_dataframe(frame, "label",
                                         categorical_columns=["color", "grade", "flag"])
    restored = TrainingStats.from_dict(json.loads(json.dumps(stats.to_dict())))

    assert restored.get_lime_stats() == stats.get_lime_stats()
    assert set(restored.get_lime_stats()["feature_values"]) == {0, 1, 2, 3, 4, 5}
    for position, values in stats.cat_cols_encoding_map.items():
        assert restored.cat_cols_encoding_map[position].tolist() == values.tolist()
    assert [type(v) for v in restored.cat_cols_encoding_map[4].tolist()] == [int] * 3
    assert restored.cat_cols_encoding_map[5].tolist() == [False, True]
    assert restored.cat_cols_encoding_map[0][2] == "red"
    for name in ("feature_columns", "categorical_columns", "cat_col_indexes", "stds",
                 "class_labels", "schema"):
        assert getattr(restored, name) == getattr(stats, name)
    assert restored.problem_type is ProblemType.BINARY


def test_from_dict_refuses_broken_statistics():
    stats = TrainingStats.from_dataframe(mixed_frame(60), "label", categorical_columns=["color"])
    data = json.loads(json.dumps(stats.to_dict()))
    del data["lime_stats"]["bins"]["1"]
    with pytest.raises(ValueError, match="bins"):
        TrainingStats.from_dict(data)
    with pytest.raises(ValueError, match="lack"):
        TrainingStats.from_dict({"label_column": "y"})


def test_missing_numeric_values_are_left_out():
    frame = pd.DataFrame({"x": [1.0, np.nan, 3.0, 5.0], "y": [0, 1, 0, 1]})
    stats = TrainingStats.from_dataframe(frame, "y")
    assert stats.get_lime_stats()["mins"][0][0] == 1.0
    assert sum(stats.get_lime_stats()["feature_frequencies"][0]) == 3


@pytest.mark.parametrize("frame, kwargs, message", [
    (pd.DataFrame({"x": [1, 2]}), {}, "label column 'y'"),
    (pd.DataFrame({"x": [], "y": []}), {}, "no rows"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"categorical_columns": ["z"]}, "'z'"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"feature_columns": ["x", "y"]}, "label"),
    (pd.DataFrame({"c": ["a", None], "y": [0, 1]}), {"categorical_columns": ["c"]}, "missing"),
    (pd.DataFrame({"x": [1, 2], "y": ["a", None]}), {}, "label column 'y' has missing"),
    (pd.DataFrame({"x": ["1", "two"], "y": [0, 1]}), {}, "non-numeric value '1'"),
    (pd.DataFrame({"x": [1.0, np.inf], "y": [0, 1]}), {}, "infinite"),
    (pd.DataFrame({"x": [np.nan, np.nan], "y": [0, 1]}), {}, "no values"),
    (pd.DataFrame({"x": [1, 2, 3], "y": [0, 1, 2]}), {"problem_type": "binary"}, "3 distinct"),
    (pd.DataFrame({"x": [1, 2], "y": ["a", "b"]}), {"problem_type": "regression"}, "finite"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"problem_type": "ranking"}, "problem type"),
])
def test_bad_training_data_is_refused(frame, kwargs, message):
    with pytest.raises(ValueError, match=message):
        TrainingStats.from_dataframe(frame, "y", **kwargs)


def test_rows_must_match_the_column_names():
    with pytest.raises(ValueError, match="column names"):
        TrainingStats([[1, 2, 3]], ["x", "y"], "y")
