"""Explaining records: one, many, on worker processes or Spark, and the files written."""
