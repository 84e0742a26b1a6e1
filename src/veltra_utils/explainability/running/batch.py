"""Explanations of many scored records, in this process or in worker processes.

    responses = explain_records(frame, ModelScoring(model, stats.feature_columns,
                                                    stats.problem_type, stats.class_labels),
                                config)

``explain_records`` returns one response per record, in input order: what
``LimeTabularExplainer.explain`` gives for it; ``iter_explanations`` yields
them one by one as they are done. A record that cannot be explained has its
own error response and the others carry on, also when the worker process
explaining it dies or overruns the time limit. Every explanation starts LIME
from the same seed, so the responses do not depend on the number of workers.

These choose between the in-process and the workers engine
(``running.engines``) by the arguments given.
"""
from typing import Any, List, Optional

from veltra_utils.explainability.running._records import check_columns, explain_one, record_list
from veltra_utils.explainability.running._types import (
    Explanations,
    Response,
    ScoringFunction,
    Task,
)
from veltra_utils.explainability.running.engines import get_engine
from veltra_utils.explainability.running.engines._base import FileExplanations
from veltra_utils.explainability.running.engines._limits import (
    memory_limit as _memory_limit,
)
from veltra_utils.explainability.running.engines._limits import (
    time_limit as _time_limit,
)
from veltra_utils.explainability.running.engines._limits import (
    worker_count as _worker_count,
)
from veltra_utils.explainability.running.engines._worker_process import trial_row
from veltra_utils.explainability.running.engines.in_process import InProcessEngine
from veltra_utils.explainability.running.engines.workers import WorkersEngine, try_model
from veltra_utils.explainability.running.scoring import ModelScoring

__all__ = ["ModelScoring", "check_columns", "explain_file", "explain_one", "explain_record",
           "explain_records", "iter_explanations", "trial_row", "try_model"]

_IN_PROCESS = InProcessEngine()
_WORKERS = WorkersEngine()


def explain_records(records: Any, scoring_function: ScoringFunction, config: Any, *,
                    workers: Optional[int] = None, timeout: Optional[float] = None,
                    progress: Optional[bool] = None,
                    memory_limit: Optional[int] = None,
                    task: Optional[Task] = None) -> List[Response]:
    """Explain every scored record; return the serialised responses in input order.

    ``records`` is a pandas DataFrame of records (the feature columns, and the
    prediction and, for classification, the probability column) or an iterable
    of mappings. Records without the model's output are scored with
    ``scoring_function`` first, in this process and in one batch (see
    ``scoring.score_records``); a record the model cannot score gets its own
    error response. ``workers`` is the number of worker processes: None
    uses every core available to this process, 1 explains in this process with
    one explainer. ``timeout`` is the most seconds one record's explanation may
    take (None: no limit); a record that takes longer gets an error response
    and its worker is killed and replaced. Only a separate process can be
    stopped, so with a timeout the records are explained in worker processes
    even when ``workers`` is 1.

    ``memory_limit`` (bytes, None: no limit) bounds the memory each worker
    process may take beyond what it holds once started, so a model that asks
    for more fails its record instead of exhausting the machine; like a
    timeout it needs worker processes, even with ``workers=1``. In worker
    processes a record without the model's output is scored in its worker,
    under the same limits.

    Worker processes receive ``scoring_function`` and ``config`` by pickling,
    once each, so they must be picklable (``ModelScoring`` wraps a fitted model
    that way); TypeError says which one is not. Where workers are not forked
    from this process (on macOS and Windows, and on Linux while other threads
    run), a script must call this under ``if __name__ == "__main__":``.
    ``progress`` shows a progress bar on stderr: None shows it when stderr is a
    terminal. ``task=StabilityTask(runs=5)`` returns each record's ``Stability``
    (its explanation and how it held over other seeds, see ``running.stability``)
    in place of its response; a record that could not be handed to the task
    still gets an error response.

    Raises ValueError for a frame that lacks a needed column or a bad
    ``workers`` or ``timeout``, and RuntimeError when the worker processes
    cannot set up the explainer (the scoring function cannot be loaded there,
    say). An interrupt (KeyboardInterrupt) ends the worker processes and
    propagates.
    """
    return [response for _, response in iter_explanations(
        records, scoring_function, config, workers=workers, timeout=timeout, progress=progress,
        memory_limit=memory_limit, task=task)]


def iter_explanations(records: Any, scoring_function: ScoringFunction, config: Any, *,
                      workers: Optional[int] = None, timeout: Optional[float] = None,
                      progress: Optional[bool] = None,
                      memory_limit: Optional[int] = None,
                      task: Optional[Task] = None) -> Explanations:
    """Yield ``(position, response)`` for every record, in input order, each as soon as it can be.

    A record's response comes as soon as it and every record before it are
    explained, so a consumer keeps what is done even if a later record hangs
    or the batch is interrupted. Takes the arguments of ``explain_records`` and
    raises as it does; the argument errors come from this call, those of the
    workers' set-up while iterating. Worker processes live while the iteration
    runs: they end when it is exhausted, closed (``close()``, or leaving a
    ``with contextlib.closing(...)`` block) or interrupted.
    """
    chosen = record_list(records, config)
    count = _worker_count(workers)
    if count == 1 and _time_limit(timeout) is None and _memory_limit(memory_limit) is None:
        return _IN_PROCESS.iter_explanations(chosen, scoring_function, config,
                                             progress=progress, task=task)
    return _WORKERS.iter_explanations(chosen, scoring_function, config, workers=count,
                                      timeout=timeout, memory_limit=memory_limit,
                                      progress=progress, task=task)


def explain_record(record: Any, scoring_function: ScoringFunction, config: Any) -> Response:
    """Explain one record in this process: what ``explain_records`` gives for it alone.

    A record without the model's output is scored first; gaps and categories
    the training data never held are explained as ``explain_records`` explains
    them (see ``entity.unseen``). Returns the serialised response, an error
    response for a record that cannot be explained.
    """
    return explain_records([record], scoring_function, config, workers=1, progress=False)[0]


def explain_file(path: str, scoring_function: ScoringFunction, config: Any,
                 output: Optional[str] = None, *, engine: str = "workers",
                 **options: Any) -> FileExplanations:
    """Explain the records of a CSV or Parquet file with the execution engine ``engine``
    ("in-process", "workers" or "spark"; see ``running.engines.ENGINES``), and write them
    to ``output`` (Parquet for a .parquet name, else JSON lines) if given.

    ``options`` are the engine's: ``key_columns``, ``rows``, ``sep`` and ``decimal`` for
    every engine, ``workers``, ``timeout`` and ``memory_limit`` for worker processes,
    ``master`` for Spark, and for every engine ``task=StabilityTask(runs=5)`` (or
    ``StabilityTask(until_stable=True)``) to have each record's stability measured and
    written beside its explanation (see ``running.stability``). Returns what was done
    (``FileExplanations``: the count, the failures and, unless Spark wrote them itself,
    the responses in file order, ``Stability`` objects with a task).
    """
    return get_engine(engine).explain_file(path, scoring_function, config, output, **options)
