"""The compiled explainer writes its own copies of a few texts and rules; the Python
side keeps one copy each. They must agree, or statistics, scoring and reports
would disagree with the explanations they accompany."""
import numpy as np

from conftest import make_config, make_stats, module
from veltra_utils.explainability.entity.constants import OTHERS_LABEL, ProblemType
from veltra_utils.explainability.entity.explain_response import ERROR_CODE, ERROR_PREAMBLE, error_response
from veltra_utils.explainability.utils.values import is_integer_type


def test_an_explainer_failure_is_the_python_error_response():
    result = module.LimeTabularExplainer(make_config()).explain({"color": "red"}, None)
    message = result["error"]["vals"][0]
    assert message == "The data row has no value for the feature 'age'"
    assert result == error_response(message)
    assert result["error"]["code"] == ERROR_CODE
    assert result["error"]["message"] == ERROR_PREAMBLE + message


def test_the_complementary_label_of_a_multiclass_response():
    class Explanation:
        def as_list(self, label=1):
            return [("color=red", 0.4)]

        def available_labels(self):
            return [1]

    class Scored:
        prediction, probability = "yes", 0.8

        def get_labels(self):
            return [1]

    response = module.LimeTabularResponse(Explanation(), Scored(),
                                          make_config(problem_type=ProblemType.MULTICLASS),
                                          ["no", "yes", "maybe"], {"yes": 1})
    assert response.predictions[1].value == OTHERS_LABEL


def test_perturbed_values_are_rounded_exactly_in_integer_columns():
    types = ["int", "Integer", "bigint", "long", "LONG", "smallint", "float", "double", "decimal",
             "string", "point", "", "date"]
    columns = ["c%d" % i for i in range(len(types))]
    config = make_config(feature_columns=columns, categorical_columns=[], schema=dict(zip(columns, types)),
                         training_stats=make_stats(cat_col_indexes=[], cat_cols_encoding_map={},
                                                   stds=[1.0] * len(columns)))
    explainer = module.LimeTabularExplainer(config)
    expected = [3 if is_integer_type(data_type) else 2.6 for data_type in types]
    assert expected.count(3) == 7  # both kinds present, "point" included by the shared rule

    for row in explainer._LimeTabularExplainer__convert_data(np.full((2, len(columns)), 2.6)):
        assert row == expected
        assert [type(value) is int for value in row] == [is_integer_type(t) for t in types]
    single = [explainer._LimeTabularExplainer__get_numeric_feature_value(i, 2.6) for i in range(len(types))]
    assert single == expected
