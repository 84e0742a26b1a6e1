"""The explainer written as straightforward Python: the yardstick the compiled
module is measured against. Same behaviour, same calls, no tricks."""
from collections import Counter

import numpy as np
from lime import lime_tabular

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_response import LimeExplanation, LimeExplanationSchema
from veltra_utils.explainability.entity.transaction import Transaction
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularResponse
from veltra_utils.explainability.explainers.lime.regressors.positive_coefficients_regressor import (
    PositiveCoefficientsRegressor,
)
from veltra_utils.explainability.utils.values import is_integer_type


class PythonLimeTabularExplainer:
    def __init__(self, explain_config):
        self.config = explain_config
        self.possible_predictions = []
        self.label_map = {}

    def explain(self, data_row, predict_proba):
        transaction = Transaction(self.config, data_row)
        self.predict_proba = predict_proba
        encoded = transaction.get_encoded_data_row()
        num_features = min(self.config.features_count, len(self.config.feature_columns))
        if self.config.problem_type is ProblemType.REGRESSION:
            response = self._explain(encoded, num_features, transaction, "regression")
        else:
            response = self._explain(encoded, num_features, transaction, "classification")
        return LimeExplanationSchema().dump(LimeExplanation(predictions=response.predictions))

    def _explain(self, data_row, num_features, transaction, mode):
        kwargs = dict(data_row=data_row, predict_fn=self.predict, num_features=num_features,
                      num_samples=self.config.perturbations_count)
        if mode == "classification":
            kwargs["labels"] = transaction.get_labels()
        explanation = self.lime_explainer(mode).explain_instance(**kwargs)
        response = LimeTabularResponse(explanation, transaction, self.config, self.possible_predictions,
                                       self.label_map)
        if mode == "classification" and response.negative_weights_dominate():
            try:
                explanation = self.lime_explainer(mode).explain_instance(
                    model_regressor=PositiveCoefficientsRegressor(), **kwargs)
                response = LimeTabularResponse(explanation, transaction, self.config,
                                               self.possible_predictions, self.label_map)
            except Exception:
                pass
        return response

    def lime_explainer(self, mode):
        stats = self.config.training_stats
        return lime_tabular.LimeTabularExplainer(
            training_data=np.asarray([[0.0] * len(self.config.feature_columns)]),
            feature_names=np.asarray(self.config.feature_columns),
            categorical_features=stats.cat_col_indexes, categorical_names=stats.cat_cols_encoding_map,
            mode=mode, random_state=10, training_data_stats=stats.get_lime_stats(),
            discretize_continuous=self.config.discretize_continuous, discretizer=self.config.discretizer,
            sample_around_instance=self.config.sample_around_instance, kernel=self.config.kernel,
            kernel_width=self.config.kernel_width)

    def predict(self, data):
        predictions, probabilities = self.predict_proba(self.convert_data(data))
        if self.config.problem_type is ProblemType.REGRESSION:
            return np.asarray(predictions)
        if not predictions:
            predictions = [p.index(max(p)) for p in probabilities]
        self.set_possible_predictions(predictions)
        self.set_label_map(predictions, probabilities)
        return np.asarray(probabilities)

    def convert_data(self, data):
        result = []
        for row in data:
            converted = []
            for y in range(len(row)):
                value = row[y]
                if self.config.training_stats.cat_col_indexes.count(y):
                    code = value.astype(int)
                    converted.append(self.config.training_stats.cat_cols_encoding_map[y][code])
                else:
                    converted.append(self.get_numeric_feature_value(y, value))
            result.append(converted)
        return result

    def get_numeric_feature_value(self, idx, value):
        data_type = self.config.schema.get(self.config.feature_columns[idx]).lower()
        if data_type and is_integer_type(data_type):
            return round(value)
        return value

    def set_possible_predictions(self, predictions):
        filtered = [p for p in predictions if p is not None]
        self.possible_predictions = np.unique(np.asarray(filtered)).tolist()
        if len(self.possible_predictions) < 2 and self.config.problem_type is ProblemType.BINARY:
            self.possible_predictions = self.config.training_stats.class_labels

    def set_label_map(self, predictions, probabilities):
        if not predictions or len(probabilities) != len(predictions):
            return
        for probs, pred in zip(probabilities, predictions):
            if not probs:
                continue
            max_prob = max(probs)
            if Counter(probs)[max_prob] == 1:
                self.label_map[pred] = probs.index(max_prob)
