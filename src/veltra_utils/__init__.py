"""Explainability utilities for scored tabular records."""
