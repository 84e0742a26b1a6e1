"""The workers engine: the model runs in worker processes, walled.

Each worker explains one record at a time with one explainer. A record that
takes longer than the time limit has its worker killed and replaced; a model
that crashes or asks for more memory than the limit costs only the record it
was scoring. Records without the model's output are scored in the workers,
under the same limits. The worker machinery is imported on first use, so that
listing the engines stays cheap.
"""
import multiprocessing.connection
import os
from typing import Any, Optional

from veltra_utils.explainability.running._types import Explanations, ScoringFunction, Task
from veltra_utils.explainability.running.engines._base import (
    Engine,
    in_order,
    nothing,
    unknown_options,
)
from veltra_utils.explainability.running.engines._limits import (
    GRACE_SECONDS,
    SETUP_SECONDS,
    seconds,
    time_limit,
    worker_count,
)
from veltra_utils.explainability.running.engines._limits import memory_limit as memory_bound

__all__ = ["WorkersEngine", "try_model"]


class WorkersEngine(Engine):
    name = "workers"
    description = "worker processes on this machine, each model walled by time and memory limits"

    def iter_explanations(self, records: Any, scoring_function: ScoringFunction, config: Any,
                          *, workers: Optional[int] = None, timeout: Optional[float] = None,
                          memory_limit: Optional[int] = None, progress: Optional[bool] = None,
                          task: Optional[Task] = None, **options: Any) -> Explanations:
        """``(position, response)`` in input order. ``workers`` processes (None: one per
        core), each record's explanation bounded by ``timeout`` seconds and each
        worker's added memory by ``memory_limit`` bytes (None: no bound). ``task`` is done to
        each record in its worker in place of its explanation (see ``Engine``)."""
        from veltra_utils.explainability.running._records import record_list
        from veltra_utils.explainability.running.engines._pool import Pool, payload

        unknown_options(self, options)
        chosen = record_list(records, config)
        count = worker_count(workers)
        timeout = time_limit(timeout)
        memory_limit = memory_bound(memory_limit)
        pickled = payload(config, scoring_function, timeout)
        if not chosen:
            return nothing()
        pool = Pool(pickled, min(count, len(chosen)), timeout, memory_limit, task)
        return in_order(pool.explain(chosen), len(chosen), progress)

    def try_model(self, scoring_function: ScoringFunction, config: Any, *,
                  timeout: Optional[float] = None, memory_limit: Optional[int] = None,
                  **options: Any) -> Optional[str]:
        return try_model(scoring_function, config, timeout=timeout, memory_limit=memory_limit)


def try_model(scoring_function: ScoringFunction, config: Any, *,
              timeout: Optional[float] = None, memory_limit: Optional[int] = None) -> Optional[str]:
    """Score a row built from the statistics once, in a worker process under the limits;
    return None when the model answers, else why it cannot be used, in one line.

    A model that crashes, overruns or runs out of memory on such a row would do
    the same on every record, so the batch is refused before it starts.
    """
    from veltra_utils.explainability.running.engines._pool import (
        exit_description,
        payload,
        start_context,
    )
    from veltra_utils.explainability.running.engines._worker_process import trial

    timeout, memory_limit = time_limit(timeout), memory_bound(memory_limit)
    pickled = payload(config, scoring_function, timeout)
    context = start_context()
    receiving, sending = context.Pipe(duplex=False)
    parent = os.getpid() if context.get_start_method() == "fork" else None
    process = context.Process(target=trial, name="veltra-explain-trial",
                              args=(sending,) + pickled + (memory_limit, parent))
    process.start()
    sending.close()
    try:
        limit = None if timeout is None else max(SETUP_SECONDS, timeout)
        ready = multiprocessing.connection.wait([receiving, process.sentinel], limit)
        if not ready:
            return "the model took longer than {0} to score a row".format(
                seconds(limit or 0))
        try:
            return receiving.recv()
        except (EOFError, OSError):
            return "the model process {0}".format(exit_description(process))
    finally:
        receiving.close()
        if process.is_alive():
            process.kill()
        process.join(GRACE_SECONDS)
