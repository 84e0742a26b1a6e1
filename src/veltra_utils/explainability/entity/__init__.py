"""Configuration, training statistics, transactions and response entities."""
