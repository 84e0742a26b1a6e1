"""Training statistics: computed by an engine, stored, adjusted to one record."""
