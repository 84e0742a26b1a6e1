import copy
import hashlib
import json
import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from lime.discretize import DecileDiscretizer, EntropyDiscretizer, QuartileDiscretizer
from lime.lime_tabular import LimeTabularExplainer
from sklearn.datasets import load_breast_cancer, load_diabetes, load_iris, load_wine

from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.statistics.training_stats import TrainingStats
from veltra_utils.explainability.utils.feature_object_parser_util import FeatureObjectParserUtil
from veltra_utils.explainability.utils.values import GAP_BOUNDARY, GAP_CATEGORY, GAP_NUMBER


def mixed_frame(rows=400, seed=3):
    """The generated churn table cut to a text category, integers with a mass at their
    minimum (two customers in five never call support) and floats, plus a constant column."""
    table = churn_table(rows, seed)
    return table[["plan", "support_calls", "monthly_charge"]].assign(region_code=7,
                                                                       label=table[LABEL])


def lime_explainer(stats, mode="classification"):
    return LimeTabularExplainer(
        training_data=np.zeros((1, len(stats.feature_columns))),
        feature_names=stats.feature_columns, categorical_features=stats.cat_col_indexes,
        categorical_names=stats.cat_cols_encoding_map, mode=mode, random_state=10,
        training_data_stats=stats.get_lime_stats(), discretize_continuous=True)


def _resealed(document):
    """``document`` with its digest recomputed as the hex SHA-256 of the canonical
    JSON text of the rest, as a writer recomputing it after an edit would."""
    rest = {key: value for key, value in document.items() if key != "sha256"}
    text = json.dumps(rest, sort_keys=True, separators=(",", ":"), ensure_ascii=True)
    return {**rest, "sha256": hashlib.sha256(text.encode("ascii")).hexdigest()}


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


def _assert_lime_discretizer_statistics(stats, data, reference):
    """The statistics' bins are those of LIME's own discretizer ``reference`` on ``data``."""
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


@pytest.mark.parametrize("loader, problem_type", [
    (load_iris, ProblemType.MULTICLASS), (load_wine, ProblemType.MULTICLASS),
    (load_breast_cancer, ProblemType.BINARY), (load_diabetes, ProblemType.REGRESSION)])
def test_numeric_statistics_equal_lime_quartile_discretizer(loader, problem_type):
    frame = loader(as_frame=True).frame
    # Diabetes progression is a whole-number score, regression only when said so.
    given = problem_type if problem_type is ProblemType.REGRESSION else None
    stats = TrainingStats.from_dataframe(frame, "target", problem_type=given)
    assert stats.problem_type is problem_type
    data = frame[stats.feature_columns].to_numpy(dtype=float)
    _assert_lime_discretizer_statistics(stats, data,
                                        QuartileDiscretizer(data, [], stats.feature_columns))
    assert stats.stds == pytest.approx(data.std(axis=0).tolist())


@pytest.mark.parametrize("discretizer, reference_type", [
    ("decile", DecileDiscretizer), ("entropy", EntropyDiscretizer)])
@pytest.mark.parametrize("loader", [load_breast_cancer, load_wine])
def test_numeric_statistics_equal_lime_decile_and_entropy_discretizers(loader, discretizer,
                                                                       reference_type):
    frame = loader(as_frame=True).frame
    stats = TrainingStats.from_dataframe(frame, "target", discretizer=discretizer)
    assert stats.discretizer == discretizer
    data = frame[stats.feature_columns].to_numpy(dtype=float)
    reference = reference_type(data, [], stats.feature_columns, labels=frame.target.to_numpy(),
                               random_state=10)
    lime_stats = stats.get_lime_stats()
    assert max(len(bins) for bins in lime_stats["bins"].values()) > 3
    _assert_lime_discretizer_statistics(stats, data, reference)

    from_rows = TrainingStats(frame.astype(object).values.tolist(), list(frame.columns),
                              "target", discretizer=discretizer)
    assert from_rows.discretizer == discretizer and from_rows.get_lime_stats() == lime_stats


def test_entropy_bins_pair_each_value_with_its_own_label():
    # Without the row whose x is missing, the labels split x between 2 and 3.
    frame = pd.DataFrame({"x": [1.0, 2.0, np.nan, 3.0, 4.0], "y": [0, 0, 0, 1, 1]})
    stats = TrainingStats.from_dataframe(frame, "y", discretizer="entropy")
    assert stats.get_lime_stats()["bins"] == {0: [2.5, GAP_BOUNDARY]}  # and the gap's bin


def test_lime_explains_a_real_model_from_the_statistics_alone():
    frame = mixed_frame()
    features = ["plan", "support_calls", "monthly_charge", "region_code"]
    model = churn_model(frame[features], frame.label)
    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=["plan"])
    assert stats.class_labels == list(model.classes_)

    batches = []

    def predict_fn(rows):
        decoded = pd.DataFrame(rows, columns=features)
        decoded["plan"] = stats.cat_cols_encoding_map[0][rows[:, 0].astype(int)]
        batches.append(decoded)
        return model.predict_proba(decoded)

    record = np.array([2.0, 3.0, 41.5, 7.0])  # standard plan, 3 support calls
    explanation = lime_explainer(stats).explain_instance(
        record, predict_fn, labels=[1], num_features=4, num_samples=2000)

    perturbed = batches[0]
    assert set(perturbed.plan) <= {"basic", "premium", "standard"}
    assert (perturbed.region_code == 7).all()
    for name in ("support_calls", "monthly_charge"):
        assert perturbed[name].between(frame[name].min(), frame[name].max()).all(), name
    # Two in five training customers sit at the minimum, 0 calls: sampling must keep them there.
    assert (frame.support_calls == 0).mean() > 0.25
    assert (perturbed.support_calls == 0).mean() > 0.2

    described = dict(explanation.as_list(label=1))
    assert "plan=standard" in described
    for description, weight in described.items():
        feature = FeatureObjectParserUtil.get_feature_object(
            (description, weight), is_categorical=description.startswith("plan="),
            discretize_continuous=True)
        assert feature.feature_name in features


def test_regression_statistics_work_in_lime():
    frame = load_diabetes(as_frame=True).frame
    stats = TrainingStats.from_dataframe(frame, "target", problem_type="regression")
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
                                         categorical_columns=["plan", "grade", "flag"])
    restored = TrainingStats.from_dict(json.loads(json.dumps(stats.to_dict())))

    assert restored.get_lime_stats() == stats.get_lime_stats()
    assert set(restored.get_lime_stats()["feature_values"]) == {0, 1, 2, 3, 4, 5}
    for position, values in stats.cat_cols_encoding_map.items():
        assert restored.cat_cols_encoding_map[position].tolist() == values.tolist()
    assert [type(v) for v in restored.cat_cols_encoding_map[4].tolist()] == [int] * 3
    assert restored.cat_cols_encoding_map[5].tolist() == [False, True]
    assert restored.cat_cols_encoding_map[0][2] == "standard"
    for name in ("feature_columns", "categorical_columns", "cat_col_indexes", "stds",
                 "class_labels", "schema"):
        assert getattr(restored, name) == getattr(stats, name)
    assert restored.problem_type is ProblemType.BINARY


@pytest.mark.filterwarnings("ignore:the statistics file carries no sha256 digest")
def test_from_dict_refuses_broken_statistics():
    stats = TrainingStats.from_dataframe(mixed_frame(60), "label", categorical_columns=["plan"])
    data = json.loads(json.dumps(stats.to_dict()))
    del data["lime_stats"]["bins"]["1"]
    with pytest.raises(ValueError, match="bins"):
        TrainingStats.from_dict(_resealed(data))
    with pytest.raises(ValueError, match="lack"):
        TrainingStats.from_dict({"label_column": "y"})


@pytest.fixture(scope="module")
def stored():
    """A stored file: plan (categorical), support_calls, monthly_charge and region_code
    (constant)."""
    stats = TrainingStats.from_dataframe(mixed_frame(60), "label", categorical_columns=["plan"])
    return json.loads(json.dumps(stats.to_dict(), allow_nan=False))


LIME = "lime_stats"
NAN, INF = math.nan, math.inf

# (where in the stored document, the damaged value, what the error must say)
DAMAGES = [
    (("class_labels",), ["no", "no"], "class_labels lists 'no' twice"),
    (("class_labels",), [None, "yes"], "class_labels holds the missing value None"),
    (("problem_type",), "regression", "class_labels of a regression problem must be empty"),
    (("cat_cols_encoding_map", "0", 1), NAN,
     "cat_cols_encoding_map of column 'plan' holds the missing value nan"),
    (("cat_cols_encoding_map", "0"), [None, "basic", None],
     "cat_cols_encoding_map of column 'plan' lists None twice"),
    (("cat_cols_encoding_map", "0", 1), "basic",
     "cat_cols_encoding_map of column 'plan' lists 'basic' twice"),
    (("cat_cols_encoding_map", "7"), ["x"], "cat_cols_encoding_map has an entry for position 7"),
    (("cat_cols_encoding_map", "2"), ["x"],
     "cat_cols_encoding_map has an entry for column 'monthly_charge'"),
    ((LIME, "feature_values", "0"), [0, 1, -1],
     "feature_values of column 'plan' holds -1, not a code in 0..2"),
    ((LIME, "feature_values", "0"), [0, 1, 3], "feature_values of column 'plan' holds 3"),
    ((LIME, "feature_values", "0"), [0, 0, 1], "feature_values of column 'plan' lists the code 0"),
    ((LIME, "feature_values", "2"), [0, 1, 2],
     "feature_values of column 'monthly_charge' holds 3 codes"),
    ((LIME, "feature_frequencies", "0"), [18, 17],
     "feature_frequencies of column 'plan' holds 2 frequencies for 3 values"),
    ((LIME, "feature_frequencies", "1"), [0, 0, 0, 0],
     "feature_frequencies of column 'support_calls' are all zero"),
    ((LIME, "feature_frequencies", "2", 1), -15,
     "feature_frequencies of column 'monthly_charge' holds the negative frequency -15"),
    ((LIME, "feature_frequencies", "2", 1), NAN,
     "feature_frequencies of column 'monthly_charge' holds nan"),
    ((LIME, "feature_frequencies", "2"), [1e308] * 4,
     "feature_frequencies of column 'monthly_charge' add up"),
    ((LIME, "bins", "2", 1), NAN, "bins of column 'monthly_charge' holds nan"),
    ((LIME, "bins", "2"), [55.045, 47.9975, 68.89500000000001],
     "bins of column 'monthly_charge' are not strictly increasing"),
    ((LIME, "bins", "1"), [], "bins of column 'support_calls' are empty"),
    ((LIME, "bins", "01"), [1.0], "lime_stats.bins has the key '01'"),
    ((LIME, "bins", "1"), "1,2,5", "lime_stats.bins at position 1 is a str"),
    ((LIME, "means", "2", 0), NAN, "means of column 'monthly_charge' holds nan"),
    ((LIME, "means", "2"), [1.0, 2.0, 3.0],
     "means of column 'monthly_charge' holds 3 values for 4 bins"),
    ((LIME, "stds", "2", 0), -1.0, "lime_stats.stds of column 'monthly_charge' holds -1.0"),
    ((LIME, "stds", "2", 0), 0.0, "lime_stats.stds of column 'monthly_charge' holds 0.0"),
    ((LIME, "mins", "2", 0), -INF, "mins of column 'monthly_charge' holds -inf"),
    ((LIME, "maxs", "2", 3), INF, "maxs of column 'monthly_charge' holds inf"),
    ((LIME, "mins", "2", 1), 40.0, "mins of column 'monthly_charge' disagree with its bins"),
    (("feature_columns",), ["plan", "monthly_charge", "support_calls", "region_code"],
     "schema lists the columns in another order than feature_columns"),
    (("schema", "monthly_charge"), "", "schema of column 'monthly_charge' is ''"),
    (("stds", 1), NAN, "stds of column 'support_calls' holds nan"),
    (("row_count",), -1, "row_count is -1"),
    (("label_column",), "monthly_charge", "label_column 'monthly_charge' is also a feature column"),
    (("categorical_columns",), ["plan", "nope"], "categorical_columns: 'nope'"),
    (("discretizer",), "median", "discretizer is 'median', not one of quartile, decile, entropy"),
    ((LIME, "bins", "2"), [1.0, 2.0, 3.0, 4.0],
     "bins of column 'monthly_charge' hold 4 boundaries, more than the quartile discretizer"),
    (("version",), True, "version True"),
]


@pytest.mark.parametrize("path, value, message", DAMAGES,
                         ids=["-".join(map(str, case[0][1:] or case[0])) for case in DAMAGES])
def test_damaged_statistics_are_refused_naming_the_field(stored, path, value, message):
    document = copy.deepcopy(stored)
    container = document
    for key in path[:-1]:
        container = container[key]
    container[path[-1]] = value
    with pytest.raises(ValueError, match=re.escape(message)):
        TrainingStats.from_dict(_resealed(document))


CHANGED = "the statistics file was changed after it was written"


def test_statistics_changed_after_writing_are_refused(stored):
    edited = copy.deepcopy(stored)
    edited["lime_stats"]["means"]["2"][1] += 0.5
    truncated = copy.deepcopy(stored)
    del truncated["lime_stats"]["feature_frequencies"]["0"][-1]
    for document in (edited, truncated):
        with pytest.raises(ValueError, match=CHANGED):
            TrainingStats.from_dict(document)

    undigested = {key: value for key, value in stored.items() if key != "sha256"}
    with pytest.warns(UserWarning, match="no sha256 digest and cannot be checked for changes"):
        loaded = TrainingStats.from_dict(undigested)
    assert loaded.to_dict() == stored


def test_stored_statistics_keep_their_discretizer(stored):
    decile = TrainingStats.from_dataframe(mixed_frame(60), "label", categorical_columns=["plan"],
                                          discretizer="decile")
    restored = TrainingStats.from_dict(json.loads(json.dumps(decile.to_dict())))
    assert restored.discretizer == "decile"
    assert restored.get_lime_stats() == decile.get_lime_stats()
    # A file written before the discretizer was recorded was binned at the quartiles.
    older = _resealed({key: value for key, value in stored.items() if key != "discretizer"})
    assert TrainingStats.from_dict(older).discretizer == "quartile"


def _by_hand_frame():
    return pd.DataFrame({"x": [1, 2, 3, 4, 5, 6, 7, 8],
                         "c": ["b", "a", "b", "c", "b", "a", "b", "b"],
                         "y": [0, 1, 0, 1, 0, 1, 1, 0]})


def _typed_categories_frame():
    frame = mixed_frame(rows=60)
    frame["grade"] = np.tile([3, 1, 2], 20)
    frame["flag"] = np.tile([True, False], 30)
    frame.loc[::7, "monthly_charge"] = np.nan
    return frame


def _gaps_frame():
    """Gaps in a text category and in an integer column (which pandas makes float)."""
    frame = mixed_frame(60)
    frame.loc[::5, "plan"] = None
    frame.loc[::6, "support_calls"] = np.nan
    return frame


@pytest.mark.parametrize("make_frame, label, categorical, problem_type", [
    (_by_hand_frame, "y", ["c"], None),
    (_gaps_frame, "label", [], None),
    (_typed_categories_frame, "label", ["plan", "grade", "flag"], None),
    (lambda: load_iris(as_frame=True).frame, "target", [], None),
    (lambda: load_diabetes(as_frame=True).frame, "target", [], "regression"),
], ids=["by-hand", "text-int-bool-categories", "gaps", "multiclass", "regression"])
def test_computed_statistics_load_back_without_warning(make_frame, label, categorical,
                                                       problem_type):
    stats = TrainingStats.from_dataframe(make_frame(), label, categorical_columns=categorical,
                                         problem_type=problem_type)
    document = json.loads(json.dumps(stats.to_dict(), allow_nan=False))
    assert document["sha256"] == _resealed(document)["sha256"]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        restored = TrainingStats.from_dict(document)
    assert restored.to_dict() == stats.to_dict()
    assert restored.get_lime_stats() == stats.get_lime_stats()


@pytest.mark.parametrize("damage, status, message", [
    ("edited", 2, "does not hold training statistics: " + CHANGED),
    ("undigested", 0, "veltra-explain: warning: "),
    ("nested", 2, "is not JSON"),           # deeper than the JSON parser goes
])
def test_command_refuses_a_changed_statistics_file(tmp_path, capsys, damage, status, message):
    import skops.io as sio

    from veltra_utils.explainability.cli import main

    frame = mixed_frame(rows=120)
    features = ["plan", "support_calls", "monthly_charge", "region_code"]
    model = churn_model(frame[features], frame.label)
    sio.dump(model, str(tmp_path / "model.skops"))
    frame.to_csv(tmp_path / "train.csv", index=False)
    frame[features].head(1).to_csv(tmp_path / "records.csv", index=False)
    stats_file = tmp_path / "stats.json"
    assert main(["stats", "--train", str(tmp_path / "train.csv"), "--label", "label",
                 "-o", str(stats_file)]) == 0
    document = json.loads(stats_file.read_text())
    if damage == "edited":
        document["lime_stats"]["means"]["2"][0] += 1.0
    elif damage == "undigested":
        del document["sha256"]
    text = "[" * 100_000 + "]" * 100_000 if damage == "nested" else json.dumps(document)
    stats_file.write_text(text)

    capsys.readouterr()
    assert main(["explain", "--stats", str(stats_file), "--model", str(tmp_path / "model.skops"),
                 "--records", str(tmp_path / "records.csv"), "--perturbations", "200"]) == status
    error = capsys.readouterr().err
    assert error.count("\n") == 1 and message in error, error
    if damage == "undigested":
        assert "cannot be checked for changes" in error and "UserWarning" not in error


@pytest.mark.parametrize("column, categorical, categories, counts", [
    (["b", "a", "b", "b"], [], ["a", "b"], [1, 3]),
    (pd.Categorical(["b", "a", "b", "b"]), [], ["a", "b"], [1, 3]),
    ([True, False, True, True], [], [False, True], [1, 3]),
    ([2, 1, 2, 2], ["x"], [1, 2], [1, 3]),  # numeric codes are categories when named
    (["b", None, "b", np.nan], [], ["b", GAP_CATEGORY], [2, 2]),  # gaps: one more category
    ([True, None, False, True], [], [False, True, GAP_CATEGORY], [1, 2, 1]),
], ids=["text", "category-dtype", "bool", "named-codes", "text-gaps", "bool-gaps"])
def test_categorical_columns_are_inferred_and_gaps_are_a_category(column, categorical,
                                                                 categories, counts):
    frame = pd.DataFrame({"x": column, "n": [1.5, 2.5, 3.5, 4.5], "y": [0, 1, 0, 1]})
    for stats in (TrainingStats.from_dataframe(frame, "y", categorical_columns=categorical),
                  TrainingStats(frame.astype(object).values.tolist(), list(frame.columns), "y",
                                categorical_columns=categorical)):
        assert stats.categorical_columns == ["x"]
        assert stats.cat_cols_encoding_map[0].tolist() == categories
        assert stats.get_lime_stats()["feature_frequencies"][0] == counts


@pytest.mark.parametrize("values, schema_type", [
    # The model was trained on the frame's floats, whole or not: they are not rounded.
    ([1, np.nan, 3, 4], "double"),
    ([1.5, np.nan, 3, 4], "double"),
    ([1.0, 2.0, 3.0, 4.0], "double"),
    (pd.array([1, None, 3, 4], dtype="Int64"), "long"),  # a nullable integer column stays one
])
def test_a_column_keeps_the_type_the_frame_holds(values, schema_type):
    frame = pd.DataFrame({"x": values, "y": [0, 1, 0, 1]})
    assert TrainingStats.from_dataframe(frame, "y").schema == {"x": schema_type}


def test_missing_numbers_are_a_bin_of_their_own_drawn_at_their_frequency():
    frame = pd.DataFrame({"x": [1.0, np.nan, 3.0, 5.0], "y": [0, 1, 0, 1]})
    stats = TrainingStats.from_dataframe(frame, "y")
    lime_stats = stats.get_lime_stats()
    assert stats.numeric_gaps == {0: 1}
    assert lime_stats["mins"][0][0] == 1.0 and lime_stats["maxs"][0][-2] == 5.0
    assert lime_stats["bins"][0][-1] == GAP_BOUNDARY
    assert lime_stats["mins"][0][-1] == lime_stats["maxs"][0][-1] == GAP_NUMBER
    assert lime_stats["feature_frequencies"][0][-1] == 1
    assert sum(lime_stats["feature_frequencies"][0]) == 4
    # Stored without the gap bin, which the count rebuilds.
    again = TrainingStats.from_dict(json.loads(json.dumps(stats.to_dict())))
    assert again.get_lime_stats() == lime_stats and again.numeric_gaps == {0: 1}


def test_rows_without_a_label_are_left_out_with_a_warning():
    frame = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0], "y": ["a", None, "b", np.nan]})
    with pytest.warns(UserWarning, match="2 rows without a value in the label column 'y'"):
        stats = TrainingStats.from_dataframe(frame, "y")
    assert stats.row_count == 2 and stats.class_labels == ["a", "b"]


@pytest.mark.parametrize("frame, kwargs, message", [
    (pd.DataFrame({"x": [1, 2]}), {}, "label column 'y'"),
    (pd.DataFrame({"x": [], "y": []}), {}, "no rows"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"categorical_columns": ["z"]}, "'z'"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"feature_columns": ["x", "y"]}, "label"),
    (pd.DataFrame({"c": ["a", None], "y": [0, 1]}), {"missing": "error"},
     "categorical column 'c' has missing values"),
    (pd.DataFrame({"c": ["a", "b"], "y": [0, 1]}), {"missing": "drop"}, "missing is 'drop'"),
    (pd.DataFrame({"x": [1, 2], "y": [None, None]}), {}, "label column 'y' has no values"),
    (pd.DataFrame({"x": [1, "two"], "y": [0, 1]}), {}, "mixes values of types"),
    (pd.DataFrame({"x": [1.0, np.inf], "y": [0, 1]}), {}, "infinite"),
    (pd.DataFrame({"x": [np.nan, np.nan], "y": [0, 1]}), {}, "no values"),
    (pd.DataFrame({"x": [1.0, np.nan, -5e18], "y": [0, 1, 0]}), {}, "could not tell from its gaps"),
    (pd.DataFrame({"x": [1, 2, 3], "y": [0, 1, 2]}), {"problem_type": "binary"}, "3 distinct"),
    (pd.DataFrame({"x": [1, 2], "y": ["a", "b"]}), {"problem_type": "regression"}, "finite"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"problem_type": "ranking"}, "problem type"),
    (pd.DataFrame({"x": [1, 2], "y": [0, 1]}), {"discretizer": "median"}, "discretizer must"),
    (pd.DataFrame({"x": [1, 2], "y": [0.5, 1.5]}), {"discretizer": "entropy"},
     "regression problem has none"),
])
def test_bad_training_data_is_refused(frame, kwargs, message):
    with pytest.raises(ValueError, match=message):
        TrainingStats.from_dataframe(frame, "y", **kwargs)


@pytest.mark.parametrize("labels, problem_type, class_labels", [
    ([0.5, 1.25, 2.0, 3.5] * 10, ProblemType.REGRESSION, []),  # a fractional part
    (["no", "yes"] * 20, ProblemType.BINARY, ["no", "yes"]),
    (["a", "b", "c"] * 20, ProblemType.MULTICLASS, ["a", "b", "c"]),
    ([True, False] * 3, ProblemType.BINARY, [False, True]),
    ([1, 0] * 3, ProblemType.BINARY, [0, 1]),                  # two codes, however few rows
    ([1.0, 0.0] * 20, ProblemType.BINARY, [0.0, 1.0]),          # whole numbers read as floats
    ([2, 0, 1] * 20, ProblemType.MULTICLASS, [0, 1, 2]),        # 3 of 60 rows: 5%, not more
    (pd.Series([2, 0, 1] * 20, dtype=object), ProblemType.MULTICLASS, [0, 1, 2]),
    (list(range(20)) * 20, ProblemType.MULTICLASS, list(range(20))),
])
def test_problem_type_is_read_from_the_label(labels, problem_type, class_labels):
    frame = pd.DataFrame({"x": np.arange(len(labels), dtype=float), "y": labels})
    stats = TrainingStats.from_dataframe(frame, "y")
    assert (stats.problem_type, stats.class_labels) == (problem_type, class_labels)


@pytest.mark.parametrize("labels, distinct", [
    (list(range(21)) * 20, 21),                          # more than 20 classes
    ([3, 0, 1, 2] * 19, 4),                              # more than 5% of 76 rows
    ([float(value) for value in range(30)] * 2, 30),     # whole numbers read as floats
])
def test_many_whole_numbers_need_the_problem_type(labels, distinct):
    frame = pd.DataFrame({"x": np.arange(len(labels), dtype=float), "y": labels})
    message = ("'y' holds {0} distinct whole numbers, which may be a regression target or class "
               "labels; pass problem_type=\"regression\" if".format(distinct))
    with pytest.raises(ValueError, match=re.escape(message)):
        TrainingStats.from_dataframe(frame, "y")
    assert TrainingStats.from_dataframe(frame, "y", problem_type="regression").class_labels == []
    assert len(TrainingStats.from_dataframe(frame, "y", problem_type="multiclass")
               .class_labels) == distinct


def test_rows_must_match_the_column_names():
    with pytest.raises(ValueError, match="column names"):
        TrainingStats([[1, 2, 3]], ["x", "y"], "y")
