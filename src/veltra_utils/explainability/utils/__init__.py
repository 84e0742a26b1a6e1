"""Small helpers shared by the explainers."""
