"""A ridge surrogate whose coefficients are never negative.

LIME fits a weighted linear model around the explained record. When the
negative weights of that model dominate, the explanation is made again with
this regressor so that it names the features that push towards the label.
"""
from typing import Any, Optional

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.linear_model import Ridge
from sklearn.utils.validation import check_array, check_is_fitted, check_X_y


class PositiveCoefficientsRegressor(RegressorMixin, BaseEstimator):
    """Ridge regression constrained to non-negative coefficients.

    ``alpha`` defaults to 1.0, the regularisation LIME uses for its own
    surrogate, so the two fits differ only by the sign constraint. The
    intercept is not constrained.
    """

    def __init__(self, alpha: float = 1.0, fit_intercept: bool = True) -> None:
        self.alpha = alpha
        self.fit_intercept = fit_intercept

    def fit(self, X: Any, y: Any, sample_weight: Optional[Any] = None) -> "PositiveCoefficientsRegressor":
        X, y = check_X_y(X, y, y_numeric=True, dtype=np.float64)
        ridge = Ridge(alpha=self.alpha, fit_intercept=self.fit_intercept, positive=True)
        ridge.fit(X, y, sample_weight=sample_weight)
        # The bounded solver keeps the coefficients >= 0; clipping only guards
        # against a -0.0 or rounding residue reaching the explanation.
        self.coef_ = np.clip(np.asarray(ridge.coef_, dtype=np.float64), 0.0, None)
        self.intercept_ = float(ridge.intercept_)
        self.n_features_in_ = X.shape[1]
        return self

    def predict(self, X: Any) -> np.ndarray:
        check_is_fitted(self, "coef_")
        X = check_array(X, dtype=np.float64)
        if X.shape[1] != self.n_features_in_:
            raise ValueError("X has {0} features, but the regressor was fitted with {1}"
                             .format(X.shape[1], self.n_features_in_))
        return X @ self.coef_ + self.intercept_
