from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

from veltra_utils.explainability.entity.explain_response import FeatureRange
from veltra_utils.explainability.utils.date_time_util import DateTimeUtil
from veltra_utils.explainability.utils.feature_object_parser_util import FeatureObjectParserUtil
from veltra_utils.explainability.utils.number_util import NumberUtil

parse = FeatureObjectParserUtil.get_feature_object


class TestNormalizeFeatureWeights:

    def test_magnitudes_sum_to_one_keeping_order_and_sign(self):
        pairs = [("b <= 1.00", 0.3), ("a=x", np.float64(-0.1)), ("c > 2.00", 0)]
        normalized = NumberUtil.normalize_feature_weights(pairs)
        assert [d for d, _ in normalized] == ["b <= 1.00", "a=x", "c > 2.00"]
        assert [w for _, w in normalized] == pytest.approx([0.75, -0.25, 0.0])
        assert pairs[0] == ("b <= 1.00", 0.3)

    def test_all_zero_and_empty(self):
        assert NumberUtil.normalize_feature_weights([("a", 0), ("b", -0.0)]) == [("a", 0),
                                                                                ("b", -0.0)]
        assert NumberUtil.normalize_feature_weights([]) == []

    @pytest.mark.parametrize("pairs", [[("a", "0.5")], [("a", None)], [("a", float("nan"))],
                                       [("a", float("inf")), ("b", 1.0)], [("a",)], [True]])
    def test_bad_weights_are_refused(self, pairs):
        with pytest.raises(ValueError):
            NumberUtil.normalize_feature_weights(pairs)


class TestFeatureObjectParser:

    @pytest.mark.parametrize("description, name, feature_range", [
        ("age <= 30.00", "age", FeatureRange(None, 30.0, False, True)),
        ("30.00 < age <= 40.00", "age", FeatureRange(30.0, 40.0, False, True)),
        ("age > 40.00", "age", FeatureRange(40.0, None, False, False)),
        ("-1.5e-03 < x <= 2E+10", "x", FeatureRange(-0.0015, 2e10, False, True)),
        ("monthly income <= -12.50", "monthly income", FeatureRange(None, -12.5, False, True)),
        ("1.00 < a < b <= 2.00", "a < b", FeatureRange(1.0, 2.0, False, True)),
        ("ratio<1 > 0.50", "ratio<1", FeatureRange(0.5, None, False, False)),
        ("x1 <= 5.00", "x1", FeatureRange(None, 5.0, False, True)),
    ])
    def test_discretized_numeric_forms(self, description, name, feature_range):
        feature = parse(weighted_feature=(description, np.float64(-0.25)), is_categorical=False,
                        discretize_continuous=True)
        assert feature.feature_name == name and feature.feature_range == feature_range
        assert feature.weight == -0.25 and type(feature.weight) is float
        assert feature.is_categorical is False and feature.feature_value is None

    @pytest.mark.parametrize("description, categorical, feature_range", [
        # The gap's bin lies above 2**62; the bin below it is the open top bin.
        ("income > 4611686018427387904.00", False, None),
        ("30.00 < income <= 4611686018427387904.00", False, FeatureRange(30.0, None)),
        ("city=nan", True, None),
    ])
    def test_a_gap_reads_as_missing(self, description, categorical, feature_range):
        feature = parse((description, 0.5), is_categorical=categorical, discretize_continuous=True)
        assert feature.feature_name in ("income", "city") and feature.feature_value is None
        assert feature.is_missing is (True if feature_range is None else None)
        assert feature.feature_range == feature_range

    @pytest.mark.parametrize("description, name, value", [
        ("color=red", "color", "red"), (" color = dark red ", "color", " dark red "),
        ("plan= gold ", "plan", " gold "),
        ("a=b=c", "a", "b=c"), ("flag=", "flag", ""),
    ])
    def test_categorical_form(self, description, name, value):
        feature = parse((description, 0.5), is_categorical=True, discretize_continuous=True)
        assert (feature.feature_name, feature.feature_value) == (name, value)
        assert feature.is_categorical is True and feature.feature_range is None

    def test_plain_name_without_discretization(self):
        feature = parse(("  rate <= limit ", 0.1), is_categorical=False,
                        discretize_continuous=False)
        assert feature.feature_name == "rate <= limit" and feature.feature_range is None

    @pytest.mark.parametrize("weighted_feature, is_categorical", [
        (("age", 0.1), False), (("age < 30", 0.1), False), (("age <= thirty", 0.1), False),
        ((" <= 1.00", 0.1), False), (("color", 0.1), True), (("=red", 0.1), True),
        (("age <= 1.00", "0.1"), False), ((3, 0.1), False), (("age <= 1.00",), False),
    ])
    def test_unparseable_input_is_refused(self, weighted_feature, is_categorical):
        with pytest.raises(ValueError):
            parse(weighted_feature, is_categorical=is_categorical, discretize_continuous=True)


class TestDateTimeUtil:

    def test_iso_round_trip_converts_to_utc(self):
        local = datetime(2024, 5, 1, 14, 30, 5, 123456, tzinfo=timezone(timedelta(hours=2)))
        text = DateTimeUtil.format_iso(local)
        assert text == "2024-05-01T12:30:05.123456Z"
        assert DateTimeUtil.parse_iso(text) == local
        assert DateTimeUtil.get_current_datetime().utcoffset() == timedelta(0)

    @pytest.mark.parametrize("call, argument", [
        (DateTimeUtil.format_iso, datetime(2024, 5, 1)),
        (DateTimeUtil.format_iso, "2024-05-01"),
        (DateTimeUtil.parse_iso, "2024-05-01T12:00:00"),
        (DateTimeUtil.parse_iso, "yesterday"),
    ])
    def test_ambiguous_or_bad_input_is_refused(self, call, argument):
        with pytest.raises(ValueError):
            call(argument)
