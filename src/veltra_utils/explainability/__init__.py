"""Explanations of single scored records: configuration, entities, utilities and explainers."""
