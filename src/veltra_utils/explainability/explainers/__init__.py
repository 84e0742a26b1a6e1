"""Explainers and their common base class."""
