"""LIME explainers. The compiled module ``lime_tabular_explainer`` is installed here."""
