"""Conversion of LIME's perturbed batches and the prediction adapter."""
import numpy as np
import pytest

from conftest import make_config, make_stats, module
from veltra_utils.explainability.entity.constants import ProblemType


def convert(explainer, batch):
    return explainer._LimeTabularExplainer__convert_data(batch)


def adapter(explainer, scoring_result):
    explainer.predict_proba = lambda rows: scoring_result
    return explainer._LimeTabularExplainer__predict_proba(np.zeros((len(scoring_result[1] or [0]), 3)))


class TestConvertData:
    def test_decodes_categories_and_rounds_integer_columns(self, explainer):
        batch = np.array([[2.0, 2.5, 2.5], [1.7, 3.5, -1.25], [0.0, 4.4, 7.0]])
        assert convert(explainer, batch) == [["blue", 2, 2.5], ["green", 4, -1.25], ["red", 4, 7.0]]

    def test_types_follow_the_schema(self, explainer):
        row = convert(explainer, np.array([[1.0, 2.6, 2.6]]))[0]
        assert type(row[1]) is int  # integer column: the interpreter's round
        assert type(row[2]) is np.float64  # passthrough keeps the element itself
        assert isinstance(row[0], np.str_)

    @pytest.mark.parametrize(
        "data_type, expected",
        [("bigint", 2), ("Integer", 2), ("LONG", 2), ("smallint", 2), ("double", 2.5), ("float", 2.5),
         ("", 2.5), ("string", 2.5)],
    )
    def test_integer_types_are_found_by_substring(self, data_type, expected):
        explainer = module.LimeTabularExplainer(
            make_config(schema={"color": "string", "age": data_type, "score": "double"}))
        assert convert(explainer, np.array([[0.0, 2.5, 0.0]]))[0][1] == expected

    def test_empty_batches_and_rows(self, explainer):
        assert convert(explainer, np.zeros((0, 3))) == []
        assert convert(explainer, [np.array([])]) == [[]]

    def test_duplicate_categorical_index_counts_once(self):
        stats = make_stats(cat_col_indexes=[0, 0])
        explainer = module.LimeTabularExplainer(make_config(training_stats=stats))
        assert convert(explainer, np.array([[1.0, 1.0, 1.0]]))[0][0] == "green"

    @pytest.mark.parametrize(
        "batch, error",
        [
            (np.array([[7.0, 1.0, 1.0]]), IndexError),  # code outside the map
            (np.array([[np.nan, 1.0, 1.0]]), IndexError),
            (np.array([[1.0, np.nan, 1.0]]), ValueError),  # NaN in an integer column
            (np.array([[1.0, np.inf, 1.0]]), OverflowError),
            (np.array([[1.0, 1.0, 1.0, 1.0]]), IndexError),  # wider than the feature columns
            ([[1.0, 1.0, 1.0]], AttributeError),  # plain floats have no astype
        ],
    )
    def test_bad_elements_raise_the_interpreters_errors(self, explainer, batch, error):
        with np.errstate(invalid="ignore"), pytest.raises(error):
            convert(explainer, batch)

    def test_feature_missing_from_schema(self):
        explainer = module.LimeTabularExplainer(make_config(schema={"color": "string", "score": "double"}))
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'lower'"):
            convert(explainer, np.array([[1.0, 1.0, 1.0]]))

    def test_reads_configuration_per_element_in_order(self, explainer):
        log = []
        stats = make_stats()
        explainer.config = make_config(training_stats=stats)
        original = explainer.config

        class Spy:
            def __getattr__(self, name):
                log.append(name)
                return getattr(original, name)

        explainer.config = Spy()
        convert(explainer, np.array([[1.0, 2.0, 3.0]]))
        assert log == [
            "training_stats", "training_stats",  # column 0: categorical test, then the map
            "training_stats", "feature_columns", "schema",  # column 1
            "training_stats", "feature_columns", "schema",  # column 2
        ]

    def test_overridden_numeric_method_is_called(self, explainer):
        calls = []
        explainer._LimeTabularExplainer__get_numeric_feature_value = \
            lambda idx, value: calls.append(idx) or "x"
        assert convert(explainer, np.array([[0.0, 1.0, 2.0]])) == [["red", "x", "x"]]
        assert calls == [1, 2]


class TestPredictProba:
    def test_classification_returns_probabilities_and_records_labels(self, explainer):
        result = adapter(explainer, (["yes", "no", "yes"], [[0.2, 0.8], [0.9, 0.1], [0.4, 0.6]]))
        np.testing.assert_array_equal(result, [[0.2, 0.8], [0.9, 0.1], [0.4, 0.6]])
        assert explainer.possible_predictions == ["no", "yes"]
        assert explainer.label_map == {"yes": 1, "no": 0}

    def test_scoring_function_receives_converted_rows(self, explainer):
        seen = []
        explainer.predict_proba = lambda rows: seen.append(rows) or (["no"], [[1.0, 0.0]])
        explainer._LimeTabularExplainer__predict_proba(np.array([[2.0, 1.5, 0.5]]))
        assert seen == [[["blue", 2, 0.5]]]

    def test_regression_returns_predictions_and_leaves_state(self):
        explainer = module.LimeTabularExplainer(make_config(problem_type=ProblemType.REGRESSION))
        explainer.label_map["kept"] = 3
        result = adapter(explainer, ([1.5, 2.5], None))
        np.testing.assert_array_equal(result, [1.5, 2.5])
        assert explainer.possible_predictions == [] and explainer.label_map == {"kept": 3}

    @pytest.mark.parametrize("missing", [None, []])
    def test_missing_predictions_are_derived_from_probabilities(self, explainer, missing):
        adapter(explainer, (missing, [[0.5, 0.5, 0.0], [0.1, 0.2, 0.7], [0.6, 0.3, 0.1]]))
        # Derived predictions are column positions; the tie predicts the lower one and is skipped.
        assert explainer.possible_predictions == [0, 2]
        assert explainer.label_map == {2: 2, 0: 0}

    def test_binary_fallback_is_the_class_labels_object(self, explainer):
        adapter(explainer, (["yes", "yes", None], [[0.1, 0.9], [0.2, 0.8], [0.3, 0.7]]))
        assert explainer.possible_predictions is explainer.config.training_stats.class_labels
        assert explainer.label_map == {"yes": 1, None: 1}

    def test_multiclass_keeps_a_single_label(self):
        explainer = module.LimeTabularExplainer(make_config(problem_type=ProblemType.MULTICLASS))
        adapter(explainer, ([None, None], [[0.1, 0.9], [0.2, 0.8]]))
        assert explainer.possible_predictions == []

    def test_label_map_last_unique_row_wins_and_accumulates(self, explainer):
        adapter(explainer, (["a", "a", "a"], [[0.9, 0.1], [0.2, 0.8], [0.5, 0.5]]))
        assert explainer.label_map == {"a": 1}
        adapter(explainer, (["b"], [[0.7, 0.3]]))
        assert explainer.label_map == {"a": 1, "b": 0}
        assert explainer.possible_predictions == ["no", "yes"]

    def test_length_mismatch_keeps_label_map_but_replaces_predictions(self, explainer):
        explainer.label_map["old"] = 0
        adapter(explainer, (["a", "b", "c"], [[0.9, 0.1]]))
        assert explainer.label_map == {"old": 0}
        assert explainer.possible_predictions == ["a", "b", "c"]

    @pytest.mark.parametrize(
        "result, error, message",
        [
            ((["a"],), ValueError, "not enough values to unpack (expected 2, got 1)"),
            ((["a"], [[1.0]], None), ValueError, "too many values to unpack (expected 2)"),
            (5, TypeError, "cannot unpack non-iterable int object"),
            ((np.array(["a", "b"]), [[1.0], [1.0]]), ValueError, "truth value of an array"),
            ((None, [np.array([0.5, 0.5])]), AttributeError, "has no attribute 'index'"),
            ((None, [[]]), ValueError, "empty"),
        ],
    )
    def test_bad_scoring_results(self, explainer, result, error, message):
        explainer.predict_proba = lambda rows: result
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            explainer._LimeTabularExplainer__predict_proba(np.zeros((1, 3)))

    def test_generator_results_unpack(self, explainer):
        explainer.predict_proba = lambda rows: (x for x in (["yes"], [[0.3, 0.7]]))
        explainer._LimeTabularExplainer__predict_proba(np.zeros((1, 3)))
        assert explainer.label_map == {"yes": 1}
