"""Surrogate regressors that LIME can fit in place of its default ridge model."""
