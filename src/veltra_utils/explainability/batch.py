"""Explanations of many scored records, in this process or in a pool of worker processes.

    responses = explain_records(frame, ModelScoring(model, stats.feature_columns,
                                                    stats.problem_type, stats.class_labels),
                                config)

``explain_records`` returns one response per record, in input order: what
``LimeTabularExplainer.explain`` gives for it. A record that cannot be
explained has its own error response and the others carry on, also when the
worker process explaining it dies. Every explanation starts LIME from the same
seed, so the responses do not depend on the number of workers.
"""
import concurrent.futures
import multiprocessing
import os
import pickle
import signal
import sys
import threading
from concurrent.futures.process import BrokenProcessPool
from collections.abc import Mapping

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_response import (
    Error,
    ErrorTarget,
    LimeExplanation,
    LimeExplanationSchema,
)
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.scoring import scoring_function as _model_scoring_function

ERROR_CODE = "KTRES1001E"
_ERROR_TEMPLATE = "There was an error while computing the explanation. {0}"
_WORKER_DIED = ("The worker process explaining the record ended unexpectedly (it exited, was "
                "killed, ran out of memory or crashed in native code)")

# Records per task sent to a worker, and tasks per worker queued at once. An
# explanation takes tens of milliseconds or more, so small chunks cost little
# and keep the workers evenly loaded; the queue bound keeps the records lost
# with a dying worker few (they are explained again one at a time).
_MAX_CHUNK = 4
_TASKS_PER_WORKER = 2


class ModelScoring:
    """The scoring function of ``scoring.scoring_function`` as a picklable object.

    Worker processes receive the scoring function by pickling, which a function
    defined inside another function does not survive. This keeps the model and
    the arguments instead, and builds the scoring function again wherever it
    is unpickled. Takes the arguments of ``scoring_function`` and raises
    ValueError as it does.
    """

    def __init__(self, model, feature_columns, problem_type, class_labels=None, **options):
        self.model = model
        self.arguments = dict(options, feature_columns=list(feature_columns),
                              problem_type=problem_type,
                              class_labels=None if class_labels is None else list(class_labels))
        self._score = self._build()

    def _build(self):
        return _model_scoring_function(self.model, **self.arguments)

    def __call__(self, rows):
        return self._score(rows)

    def __getstate__(self):
        return {"model": self.model, "arguments": self.arguments}

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._score = self._build()

    def __repr__(self):
        return "ModelScoring({0!r})".format(self.model)


def error_response(message):
    """The serialised error response of a record that could not be explained."""
    error = Error(code=ERROR_CODE, message=_ERROR_TEMPLATE.format(message),
                  target=ErrorTarget("field", "lime"), vals=[message])
    return LimeExplanationSchema().dump(LimeExplanation(error=error))


def check_columns(columns, config):
    """Raise ValueError when a frame of scored records lacks a column every explanation needs."""
    needed = list(config.feature_columns) + [config.prediction_column]
    if config.problem_type is not ProblemType.REGRESSION:
        needed.append(config.probability_column)
    present = set(columns)
    missing = [name for name in needed if name not in present]
    if missing:
        raise ValueError("The scored records lack the column{0} {1}".format(
            "s" if len(missing) > 1 else "", ", ".join(repr(name) for name in missing)))


def explain_records(records, scoring_function, config, *, workers=None, progress=None):
    """Explain every scored record; return the serialised responses in input order.

    ``records`` is a pandas DataFrame of scored records (feature columns plus
    the prediction and, for classification, the probability column) or an
    iterable of mappings. ``workers`` is the number of worker processes: None
    uses every core available to this process, 1 explains in this process with
    one explainer. With more than one worker, ``scoring_function`` and
    ``config`` are pickled once and sent to each worker, so they must be
    picklable (``ModelScoring`` wraps a fitted model that way); TypeError says
    which one is not. Where workers are not forked from this process (on
    macOS and Windows, and on Linux while other threads run), a script must
    call this under ``if __name__ == "__main__":``. ``progress`` shows a
    progress bar on stderr: None shows it when stderr is a terminal.

    Raises ValueError for a frame that lacks a needed column or a bad
    ``workers``, and RuntimeError when the worker processes cannot set up the
    explainer (the scoring function cannot be loaded there, say).
    """
    records = _record_list(records, config)
    workers = _worker_count(workers)
    payload = _payload(config, scoring_function) if workers > 1 else None
    if not records:
        return []
    with _progress_bar(len(records), progress) as bar:
        if workers == 1:
            explainer = LimeTabularExplainer(config)
            responses = []
            for record in records:
                responses.append(explain_one(explainer, record, scoring_function))
                bar.update(1)
            return responses
        return _Pool(payload, min(workers, len(records)), bar).explain(records)


def explain_one(explainer, record, scoring_function):
    """The explainer's response for one record; an exception of its own becomes an error response."""
    try:
        return explainer.explain(record, scoring_function)
    except Exception as error:  # explain answers with a response; this is a last resort
        return error_response(_describe(error))


def _describe(error):
    text = " ".join(str(error).split())
    return text or type(error).__name__


def _record_list(records, config):
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency
        pd = None
    if pd is not None and isinstance(records, pd.DataFrame):
        check_columns(records.columns, config)
        return records.to_dict("records")
    if isinstance(records, (str, bytes, Mapping)):
        raise TypeError("records must be a DataFrame or an iterable of records, not a single {0}"
                        .format(type(records).__name__))
    return list(records)


def _worker_count(workers):
    if workers is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not every platform can tell which cores this process may use
            return max(1, os.cpu_count() or 1)
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError("workers must be a positive integer or None, got {0!r}".format(workers))
    return workers


def _payload(config, scoring_function):
    try:
        pickled_config = pickle.dumps(config, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        raise TypeError("Worker processes need a picklable configuration, and this one is not "
                        "({0}: {1}); a kernel, for instance, must be a module-level function"
                        .format(type(error).__name__, error)) from error
    try:
        pickled_score = pickle.dumps(scoring_function, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        raise TypeError("Worker processes need a picklable scoring function, and {0!r} is not "
                        "({1}: {2}). Use a module-level function or a callable object such as "
                        "ModelScoring(model, feature_columns, problem_type, class_labels), or "
                        "workers=1".format(scoring_function, type(error).__name__, error)) \
            from error
    return pickled_config, pickled_score


def _progress_bar(total, progress):
    if progress is None:
        progress = total > 1 and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
    if not progress:
        return _NoProgress()
    from tqdm import tqdm

    class Bar(tqdm):
        # tqdm's monitor thread would outlive the bar, and forking beside it is unsafe.
        monitor_interval = 0

    return Bar(total=total, file=sys.stderr, unit="record", desc="explaining", leave=False)


class _NoProgress:
    def update(self, count):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False


# ---------------------------------------------------------------- worker processes

_worker = {}


def _start_worker(pickled_config, pickled_score, threads):
    """Pool initializer: one explainer for every record this process explains."""
    # Interrupting is the parent's business; it stops the pool.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        _limit_threads(threads)
        config = pickle.loads(pickled_config)
        _worker["score"] = pickle.loads(pickled_score)
        _worker["explainer"] = LimeTabularExplainer(config)
    except BaseException as error:  # reported with the first task, where the parent sees it
        _worker["setup_error"] = "{0}: {1}".format(type(error).__name__, _describe(error))


def _limit_threads(threads):
    """Share the cores among the workers: numpy's and scikit-learn's thread pools would each take all."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - scikit-learn depends on it
        return
    _worker["thread_limits"] = threadpool_limits(limits=threads)


def _explain_chunk(chunk):
    """Explain (position, pickled record) pairs; return (position, response) pairs."""
    if "setup_error" in _worker:
        return _SetupFailed(_worker["setup_error"])
    explainer, score = _worker["explainer"], _worker["score"]
    results = []
    for position, pickled_record in chunk:
        try:
            record = pickle.loads(pickled_record)
            response = explain_one(explainer, record, score)
        except BaseException as error:  # SystemExit from a scoring function, say
            response = error_response("The record could not be explained in a worker process: "
                                      "{0}: {1}".format(type(error).__name__, _describe(error)))
        results.append((position, response))
    return results


class _SetupFailed:
    def __init__(self, message):
        self.message = message


class _Pool:
    """Chunks of records explained by a process pool, with workers replaced when they die.

    A dying worker fails every task the pool has not finished. The records of
    those tasks are explained again one at a time, each alone in a worker, so
    that only a record that brings its worker down gets the error response.
    """

    def __init__(self, payload, workers, bar):
        self.payload = payload + (max(1, _worker_count(None) // workers),)
        self.workers = workers
        self.context = _start_context()
        self.bar = bar
        self.responses = {}

    def explain(self, records):
        pending = []
        for position, record in enumerate(records):
            try:
                pending.append((position, pickle.dumps(record, protocol=pickle.HIGHEST_PROTOCOL)))
            except Exception as error:
                self._finish(position, error_response(
                    "The record cannot be sent to a worker process: {0}: {1}".format(
                        type(error).__name__, _describe(error))))
        size = max(1, min(_MAX_CHUNK, len(pending) // (self.workers * 4)))
        chunks = [pending[start:start + size] for start in range(0, len(pending), size)]
        chunks.reverse()  # taken from the end
        while chunks:
            lost = self._run(chunks, self.workers, _TASKS_PER_WORKER * self.workers)
            alone = [[item] for item in reversed(lost)]
            while alone:
                for position, _ in self._run(alone, 1, 1):
                    self._finish(position, error_response(_WORKER_DIED))
        return [self.responses[position] for position in range(len(records))]

    def _run(self, chunks, workers, queued):
        """Explain chunks, at most ``queued`` at a time, until none are left or the pool breaks.

        Returns the records of the tasks the broken pool failed (none if it did
        not break); the chunks not yet sent stay in ``chunks``.
        """
        executor = concurrent.futures.ProcessPoolExecutor(
            max_workers=workers, mp_context=self.context,
            initializer=_start_worker, initargs=self.payload)
        running, lost, broken = {}, [], False
        try:
            while (chunks or running) and not broken:
                while chunks and len(running) < queued:
                    try:
                        future = executor.submit(_explain_chunk, chunks[-1])
                    except BrokenProcessPool:  # a worker died while none of its tasks ran
                        broken = True
                        break
                    running[future] = chunks.pop()
                done, _ = concurrent.futures.wait(
                    running, return_when=concurrent.futures.FIRST_COMPLETED)
                if broken or any(isinstance(future.exception(), BrokenProcessPool)
                                 for future in done):
                    # The pool fails all its unfinished tasks at once; some may have finished.
                    broken = True
                    done, _ = concurrent.futures.wait(running)
                for future in done:
                    self._collect(future, running.pop(future), lost)
            return sorted(lost)
        finally:
            executor.shutdown(wait=True, cancel_futures=True)

    def _collect(self, future, chunk, lost):
        error = future.exception()
        if isinstance(error, BrokenProcessPool):
            lost.extend(chunk)
            return
        if error is not None:  # the task's results could not come back, say
            for position, _ in chunk:
                self._finish(position, error_response(
                    "The worker process could not return the response: {0}: {1}".format(
                        type(error).__name__, _describe(error))))
            return
        results = future.result()
        if isinstance(results, _SetupFailed):
            raise RuntimeError("The worker processes could not set up the explainer: {0}"
                               .format(results.message))
        for position, response in results:
            self._finish(position, response)

    def _finish(self, position, response):
        self.responses[position] = response
        self.bar.update(1)


def _start_context():
    """How to start workers: forking is quick, but not safe while other threads run.

    A fork copies only the calling thread, so a lock another thread holds at
    that moment stays locked in the child for good. Fork only when this is the
    sole thread, else fork from a clean server process.
    """
    # The method set for this program, else the platform's (listed first); asking
    # get_start_method without allow_none would fix it for the whole program.
    default = multiprocessing.get_start_method(allow_none=True) \
        or multiprocessing.get_all_start_methods()[0]
    if default != "fork":
        return multiprocessing.get_context(default)
    if threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload([__name__])
    return context
