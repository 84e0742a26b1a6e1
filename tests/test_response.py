"""Building the response from a LIME explanation: labels, weights, features."""
from types import SimpleNamespace

import pytest

from conftest import make_config, module
from veltra_utils.explainability.entity.constants import ProblemType

NO_INSIGHT = ("Local explanation could not be generated. An attempt to learn the model behavior around the "
              "transaction did not provide any meaningful insights.")


class FakeExplanation:
    def __init__(self, weights_by_label, available=None):
        self.weights_by_label = weights_by_label
        self.available = available if available is not None else list(weights_by_label)
        self.asked = []

    def as_list(self, label=1):
        self.asked.append(label)
        return list(self.weights_by_label[label])

    def available_labels(self):
        return list(self.available)


class FakeTransaction:
    def __init__(self, prediction="yes", probability=0.8, labels=(0, 1)):
        self.prediction = prediction
        self.probability = probability
        self.labels = list(labels)
        self.label_calls = 0

    def get_labels(self):
        self.label_calls += 1
        return self.labels


WEIGHTS = [("color=red", 0.4), ("age <= 30.00", -0.1), ("1.00 < score <= 2.00", 0.2)]


def response(weights_by_label=None, transaction=None, problem_type=ProblemType.BINARY, possible=("no", "yes"),
             label_map=None, available=None):
    return module.LimeTabularResponse(
        FakeExplanation(weights_by_label or {1: WEIGHTS}, available),
        transaction or FakeTransaction(),
        make_config(problem_type=problem_type),
        list(possible),
        {"yes": 1} if label_map is None else label_map,
    )


class TestLabelChoice:
    def test_single_transaction_label_wins_over_label_map(self):
        r = response({0: WEIGHTS, 1: [("x", 1.0)]}, FakeTransaction(labels=[0]))
        assert r.lime_explanation.asked == [0]

    def test_label_map_then_first_available_label(self):
        assert response().lime_explanation.asked == [1]
        r = response({2: WEIGHTS, 1: WEIGHTS}, label_map={}, available=[2, 1])
        assert r.lime_explanation.asked == [2]

    def test_missing_label_is_reported_with_its_key_error_as_context(self):
        with pytest.raises(Exception, match="^Could not find explanation for the label 1$") as caught:
            response({0: WEIGHTS})
        assert type(caught.value) is Exception
        assert isinstance(caught.value.__context__, KeyError) and caught.value.__cause__ is None

    def test_regression_uses_the_default_label(self):
        explanation = FakeExplanation({1: WEIGHTS})
        module.LimeTabularResponse(explanation, FakeTransaction(probability=None),
                                   make_config(problem_type=ProblemType.REGRESSION), [], {})
        assert explanation.asked == [1]  # as_list() with LIME's own default


class TestPredictions:
    def test_binary_names_the_other_class(self):
        first, second = response().predictions
        assert (first.value, first.probability) == ("yes", 0.8)
        assert [f.feature_name for f in first.explanation_features] == ["color", "age", "score"]
        assert second.value == "no" and second.explanation_features is None
        assert second.probability == pytest.approx(0.2) and type(second.probability) is float

    @pytest.mark.parametrize(
        "problem_type, prediction, possible",
        [(ProblemType.BINARY, "maybe", ("no", "yes")), (ProblemType.BINARY, "yes", ("yes",)),
         (ProblemType.MULTICLASS, "yes", ("no", "yes", "other"))],
    )
    def test_others_label(self, problem_type, prediction, possible):
        r = response(transaction=FakeTransaction(prediction=prediction), problem_type=problem_type,
                     possible=possible, label_map={prediction: 1})
        assert r.predictions[1].value == "Others"

    def test_integer_probability_one_gives_float_zero(self):
        second = response(transaction=FakeTransaction(probability=1)).predictions[1]
        assert second.probability == 0.0 and type(second.probability) is float

    def test_regression_has_a_single_entry(self):
        r = module.LimeTabularResponse(FakeExplanation({1: WEIGHTS}), FakeTransaction(probability=None),
                                       make_config(problem_type=ProblemType.REGRESSION), [], {})
        assert len(r.predictions) == 1 and r.predictions[0].probability is None

    def test_missing_probability_on_classification_fails(self):
        with pytest.raises(TypeError):
            response(transaction=FakeTransaction(probability=None))


class TestWeights:
    @pytest.mark.parametrize("weights", [[("a=x", 0), ("b=y", 0.0), ("c=z", -0.0)], [],
                                         [("a=x", 3.1e-31), ("b=y", -2e-17), ("c=z", 0)]])
    def test_all_zero_negligible_or_empty_weights_are_rejected(self, weights):
        with pytest.raises(Exception, match="^" + NO_INSIGHT.replace(".", r"\.") + "$"):
            response({1: weights})

    def test_one_non_zero_weight_is_enough(self):
        weights = [("a <= 1.00", 0), ("b > 2.00", 0.001)]
        assert response({1: weights}).weighted_features == weights

    @pytest.mark.parametrize(
        "weights, dominate",
        [([0.5, -0.5], False), ([0.2, 0.1, -0.4], True), ([0.3, 0.1], False), ([-0.1, -0.2], True),
         ([0.0, -0.1], True)],
    )
    def test_negative_weights_dominate_strictly(self, weights, dominate):
        r = response({1: [("f%d > 1.00" % i, w) for i, w in enumerate(weights)]})
        assert r.negative_weights_dominate() is dominate

    def test_non_numeric_weight_fails_clearly(self):
        with pytest.raises(ValueError, match="'a > 1.00' is not a number: 'heavy'"):
            response({1: [("a > 1.00", "heavy")]})


class TestFeatureNames:
    def test_categorical_membership_uses_the_text_before_the_first_equals(self):
        captured = []
        original = module.FeatureObjectParserUtil

        class Capture:
            @staticmethod
            def get_feature_object(**kwargs):
                captured.append((kwargs["weighted_feature"][0], kwargs["is_categorical"]))
                return SimpleNamespace(feature_name=kwargs["weighted_feature"][0])

        module.FeatureObjectParserUtil = Capture
        try:
            response({1: [(" color = red ", 0.1), ("color=a=b", 0.2), ("age <= 30.00", 0.3),
                          ("30.00 < color <= 40.00", 0.4)]})
        finally:
            module.FeatureObjectParserUtil = original
        assert captured == [(" color = red ", True), ("color=a=b", True), ("age <= 30.00", False),
                            ("30.00 < color <= 40.00", False)]
