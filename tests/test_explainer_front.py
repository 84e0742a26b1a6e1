"""The explainer's public face: the class, is_valid, explain and its error response."""
import sys
from types import SimpleNamespace

import numpy as np
import pytest

from conftest import make_config, module
from veltra_utils.explainability.entity.constants import ExplanationType, InputDataType, ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.explainers.base_explainer import BaseExplainer

TEMPLATE = "There was an error while computing the explanation. "


def error_of(result):
    error = result["error"]
    assert error["code"] == "KTRES1001E"
    assert error["target"] == {"type": "field", "name": ExplanationType.LIME.value}
    assert error["message"] == TEMPLATE + error["vals"][0]
    return error["vals"][0]


class StubTransaction:
    def __init__(self, config, data_row):
        if data_row == "reject":
            raise ValueError("record rejected")
        self.data_row = data_row

    def get_encoded_data_row(self):
        return np.zeros(3)


@pytest.fixture
def stubbed(monkeypatch):
    """The explainer with a stub transaction and recorded explanation paths."""
    calls = []
    monkeypatch.setattr(module, "Transaction", StubTransaction)

    def path(name):
        def run(self, data_row, num_features, transaction):
            calls.append((name, num_features))
            return SimpleNamespace(predictions=[])
        return run

    monkeypatch.setattr(module.LimeTabularExplainer, "_LimeTabularExplainer__get_regression_explanation",
                        path("regression"))
    monkeypatch.setattr(module.LimeTabularExplainer, "_LimeTabularExplainer__get_classification_explanation",
                        path("classification"))
    return calls


class TestClass:
    def test_layout(self):
        cls = module.LimeTabularExplainer
        assert cls.__mro__[1] is BaseExplainer
        assert cls.__doc__ == "Class to compute lime explanation for structured data."
        assert module.LimeTabularResponse.__mro__[1:] == (object,)
        assert module.LimeTabularResponse.__doc__.startswith("Class representing the lime tabular response.")
        for name in ("get_lime_explainer", "predict_proba", "convert_data", "get_numeric_feature_value",
                     "set_possible_predictions", "set_label_map", "get_positive_features",
                     "get_explanation_features", "get_regression_explanation",
                     "get_classification_explanation"):
            assert "_LimeTabularExplainer__" + name in vars(cls)
        assert cls.__init__.__annotations__ == {"explain_config": ExplainConfig}
        assert cls.__init__.__name__ == "__init__"

    def test_arguments_bind_as_for_a_python_method(self):
        import inspect

        explainer = module.LimeTabularExplainer(make_config())
        explain = module.LimeTabularExplainer.explain
        assert str(inspect.signature(explain)) == "(self, data_row, predict_proba)"
        assert str(inspect.signature(explainer._LimeTabularExplainer__get_lime_explainer)) == "(mode)"
        for call, message in [
            (lambda: explainer.explain({}), "missing 1 required positional argument: 'predict_proba'"),
            (lambda: explainer.explain({}, None, 3), "takes 3 positional arguments but 4 were given"),
            (lambda: explainer.explain({}, data_row={}), "got multiple values for argument 'data_row'"),
            (lambda: explainer.explain(record={}), "got an unexpected keyword argument 'record'"),
            (lambda: module.LimeTabularResponse(1, 2),
             "missing 3 required positional arguments: 'config', 'possible_predictions', and 'label_map'"),
        ]:
            with pytest.raises(TypeError) as caught:
                call()
            assert str(caught.value).endswith("() " + message)

    def test_docstrings(self):
        cls = module.LimeTabularExplainer
        assert (cls._LimeTabularExplainer__predict_proba.__doc__
                == "The predict probability function passed to LIME.")
        assert cls.explain.__doc__ is None and cls._LimeTabularExplainer__get_lime_explainer.__doc__ is None
        assert (module.LimeTabularResponse._LimeTabularResponse__get_others_label.__doc__
                == "Get the others label value")

    def test_initial_state(self):
        config = make_config()
        explainer = module.LimeTabularExplainer(config)
        assert explainer.config is config
        assert explainer.possible_predictions == [] and explainer.label_map == {}
        assert not hasattr(explainer, "predict_proba")

    def test_module_names_are_looked_up_at_each_use(self, monkeypatch):
        monkeypatch.setattr(module, "LimeExplanationSchema", lambda: SimpleNamespace(dump=lambda e: "dumped"))
        assert module.LimeTabularExplainer(make_config()).explain("reject", None) == "dumped"


class TestIsValid:
    def test_identity_of_the_input_type(self):
        assert module.LimeTabularExplainer(make_config()).is_valid() is True

        class Equal:
            def __eq__(self, other):
                return True

            __hash__ = object.__hash__

        assert module.LimeTabularExplainer(make_config(input_data_type=Equal())).is_valid() is False
        assert module.LimeTabularExplainer(make_config(explanation_types=[])).is_valid() is False

    def test_explanation_types_are_not_read_for_other_inputs(self):
        config = make_config(input_data_type=InputDataType.UNSTRUCTURED_TEXT)
        del config.explanation_types
        assert module.LimeTabularExplainer(config).is_valid() is False


class TestExplain:
    @pytest.mark.parametrize("features_count, columns, expected",
                             [(10, 3, 3), (3, 3, 3), (2, 3, 2), (5.0, 3, 3)])
    def test_number_of_features(self, stubbed, features_count, columns, expected):
        config = make_config(features_count=features_count, feature_columns=["a", "b", "c"][:columns])
        assert module.LimeTabularExplainer(config).explain({}, None) == {"predictions": []}
        assert stubbed == [("classification", expected)]
        assert type(stubbed[0][1]) is int

    @pytest.mark.parametrize("features_count, message", [
        (2.0, "'float' object cannot be interpreted as an integer"),
        (-(2 ** 70), "Python int too large to convert to C ssize_t"),
        (-(2 ** 63) - 1, "Python int too large to convert to C ssize_t"),
    ])
    def test_features_count_that_cannot_be_an_index_fails_as_in_python(self, stubbed,
                                                                        features_count, message):
        result = module.LimeTabularExplainer(make_config(features_count=features_count)).explain(
            {}, None)
        assert error_of(result) == message

    def test_regression_branch_is_taken_by_identity(self, stubbed):
        module.LimeTabularExplainer(make_config(problem_type=ProblemType.REGRESSION)).explain({}, None)

        class Equal:
            def __eq__(self, other):
                return True

        module.LimeTabularExplainer(make_config(problem_type=Equal())).explain({}, None)
        assert [name for name, _ in stubbed] == ["regression", "classification"]

    def test_rejected_record_keeps_the_earlier_scoring_function(self, stubbed):
        explainer = module.LimeTabularExplainer(make_config())
        explainer.explain({}, "first")
        assert error_of(explainer.explain("reject", "second")) == "record rejected"
        assert explainer.predict_proba == "first"

    def test_failures_become_the_error_response(self, monkeypatch):
        def scoring(rows):
            raise RuntimeError("model offline")

        monkeypatch.setattr(module, "Transaction", StubTransaction)
        result = module.LimeTabularExplainer(make_config()).explain({}, scoring)
        assert set(result) == {"error"}
        assert error_of(result)  # whatever LIME or the adapter raised

    def test_empty_exception_text(self, stubbed, monkeypatch):
        monkeypatch.setattr(module.LimeTabularExplainer,
                            "_LimeTabularExplainer__get_classification_explanation",
                            lambda self, **kwargs: (_ for _ in ()).throw(ValueError()))
        result = module.LimeTabularExplainer(make_config()).explain({}, None)
        assert result["error"]["message"] == TEMPLATE and result["error"]["vals"] == [""]

    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
    def test_interrupts_propagate(self, stubbed, monkeypatch, interrupt):
        def stop(self, **kwargs):
            raise interrupt()

        monkeypatch.setattr(module.LimeTabularExplainer,
                            "_LimeTabularExplainer__get_classification_explanation", stop)
        with pytest.raises(interrupt):
            module.LimeTabularExplainer(make_config()).explain({}, None)

    def test_failure_while_building_the_error_keeps_the_original_as_context(self, monkeypatch):
        monkeypatch.setattr(module, "Transaction", StubTransaction)

        def broken_error(**kwargs):
            raise LookupError("cannot build error")

        monkeypatch.setattr(module, "Error", broken_error)
        try:
            raise KeyError("handled by the caller")
        except KeyError:
            with pytest.raises(LookupError) as caught:
                module.LimeTabularExplainer(make_config()).explain("reject", None)
            assert sys.exc_info()[0] is KeyError  # the caller's context is back
        assert str(caught.value.__context__) == "record rejected" and caught.value.__cause__ is None


class TestLimeConstruction:
    def test_twelve_keywords_in_order(self, monkeypatch):
        seen = {}
        monkeypatch.setattr(module.lime_tabular, "LimeTabularExplainer",
                            lambda *a, **k: seen.update(k) or (a, k))
        config = make_config(kernel_width=None, discretizer=None)
        explainer = module.LimeTabularExplainer(config)
        args, kwargs = explainer._LimeTabularExplainer__get_lime_explainer(mode="any")
        assert args == ()
        assert list(kwargs) == ["training_data", "feature_names", "categorical_features", "categorical_names",
                                "mode", "random_state", "training_data_stats", "discretize_continuous",
                                "discretizer", "sample_around_instance", "kernel", "kernel_width"]
        np.testing.assert_array_equal(kwargs["training_data"], np.zeros((1, 3)))
        np.testing.assert_array_equal(kwargs["feature_names"], ["color", "age", "score"])
        assert kwargs["categorical_features"] is config.training_stats.cat_col_indexes
        assert kwargs["mode"] == "any" and kwargs["random_state"] == 10
        assert kwargs["training_data_stats"] == {"stats": True}
        assert kwargs["discretizer"] is None and kwargs["kernel_width"] is None

    def test_no_feature_columns(self, monkeypatch):
        monkeypatch.setattr(module.lime_tabular, "LimeTabularExplainer", lambda **k: k)
        config = make_config(feature_columns=[])
        explainer = module.LimeTabularExplainer(config)
        kwargs = explainer._LimeTabularExplainer__get_lime_explainer("classification")
        assert kwargs["training_data"].shape == (1, 0)
