import numpy as np
import pytest
from lime.lime_tabular import LimeTabularExplainer
from sklearn.datasets import load_breast_cancer
from sklearn.linear_model import LogisticRegression, Ridge

from veltra_utils.explainability.explainers.lime.regressors.positive_coefficients_regressor import (
    PositiveCoefficientsRegressor,
)


def test_coefficients_stay_non_negative_where_ridge_goes_negative():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 4))
    y = X @ np.array([2.0, -3.0, 0.5, -0.1]) + 1.0
    weights = rng.random(300)
    ridge = Ridge(alpha=1.0).fit(X, y, sample_weight=weights)
    model = PositiveCoefficientsRegressor().fit(X, y, sample_weight=weights)
    assert (ridge.coef_ < 0).any() and (model.coef_ >= 0).all()
    assert model.coef_[0] == pytest.approx(2.0, abs=0.5)
    assert model.predict(X[:3]) == pytest.approx(X[:3] @ model.coef_ + model.intercept_)
    assert 0.0 < model.score(X, y, sample_weight=weights) < 1.0
    # Where the unconstrained fit is already non-negative the constraint changes nothing.
    y_positive = X @ np.array([2.0, 3.0, 0.5, 0.1])
    assert PositiveCoefficientsRegressor().fit(X, y_positive).coef_ == pytest.approx(
        Ridge(alpha=1.0).fit(X, y_positive).coef_, abs=1e-4)


def test_single_feature_and_constant_target():
    X = np.linspace(0, 1, 50).reshape(-1, 1)
    model = PositiveCoefficientsRegressor().fit(X, np.full(50, 3.0))
    assert model.coef_.tolist() == [0.0] and model.intercept_ == pytest.approx(3.0)
    assert model.predict([[0.5]]) == pytest.approx([3.0])
    with pytest.raises(ValueError):
        model.predict(np.zeros((2, 3)))


def test_lime_accepts_it_as_surrogate():
    data = load_breast_cancer()
    X = data.data[:, :6]
    model = LogisticRegression(max_iter=5000).fit(X, data.target)
    explainer = LimeTabularExplainer(X, mode="classification", random_state=10)
    explanation = explainer.explain_instance(X[0], model.predict_proba, labels=[0],
                                             num_features=6, num_samples=500,
                                             model_regressor=PositiveCoefficientsRegressor())
    weights = [weight for _, weight in explanation.as_list(label=0)]
    assert len(weights) == 6 and all(weight >= 0 for weight in weights)
