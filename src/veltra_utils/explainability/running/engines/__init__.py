"""The execution engines: where the records are explained, by name.

    from veltra_utils.explainability.running.engines import ENGINES

    engine = ENGINES["workers"]
    responses = engine.explain_records(frame, scoring, config, workers=4, timeout=30)
    done = engine.explain_file("scored.csv", scoring, config, "explanations.parquet")

Every engine (``Engine``) has a ``name``, a one-line ``description`` and the
same calls: ``iter_explanations`` and ``explain_records`` for records in
hand, ``explain_file`` for a CSV or Parquet file, ``check`` and ``try_model``
to refuse, before any work, what cannot run. The responses are the same from
every engine, in the same order; the engines' own options say how many
processes, which limits or which Spark master.
"""
from typing import Dict

from veltra_utils.explainability.running.engines._base import Engine, FileExplanations
from veltra_utils.explainability.running.engines.in_process import InProcessEngine
from veltra_utils.explainability.running.engines.spark import SparkEngine
from veltra_utils.explainability.running.engines.workers import WorkersEngine

ENGINES: Dict[str, Engine] = {engine.name: engine for engine in
                              (InProcessEngine(), WorkersEngine(), SparkEngine())}

__all__ = ["ENGINES", "Engine", "FileExplanations", "InProcessEngine", "SparkEngine",
           "WorkersEngine", "get_engine"]


def get_engine(name: str) -> Engine:
    """The engine registered as ``name``; ValueError lists those there are."""
    try:
        return ENGINES[name]
    except (KeyError, TypeError):
        raise ValueError("no execution engine {0!r}; there are {1}".format(
            name, ", ".join(ENGINES))) from None
