"""What the explainer reads and writes: its configuration, the scored record (transaction),
the response entities, and the constants they share."""
