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
"""
import collections
import contextlib
import math
import multiprocessing
import multiprocessing.connection
import numbers
import os
import pickle
import signal
import sys
import threading
import time
import warnings
from collections.abc import Mapping

from veltra_utils.explainability.entity.explain_config import missing_columns
from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import score_records
from veltra_utils.explainability.models.scoring import scoring_function as _model_scoring_function
from veltra_utils.explainability.statistics import unseen as _unseen
from veltra_utils.explainability.utils.progress import progress_bar
from veltra_utils.explainability.utils.text import format_size, quote
from veltra_utils.explainability.utils.text import one_line as _describe

_WORKER_DIED = ("The worker process explaining the record ended unexpectedly (it exited, was "
                "killed, ran out of memory or crashed in native code)")

# Setting up a worker (unpickling the model, building the explainer) is not
# part of a record's time limit, but with a limit it has a bound of its own,
# so that a worker that never gets ready cannot hold up the batch.
_SETUP_SECONDS = 60.0
# How long a worker may take to end once asked to, before it is killed.
_GRACE_SECONDS = 2.0
# The most warnings a worker sends back with one response.
_MOST_WARNINGS = 1000
# The longest single wait; a later deadline is simply waited for again.
_LONGEST_WAIT = 3600.0


class ModelScoring:
    """The scoring function of ``scoring.scoring_function`` as a picklable object.

    Worker processes receive the scoring function by pickling, which a function
    defined inside another function does not survive. This keeps the model and
    the arguments instead, and builds the scoring function again wherever it
    is unpickled. Takes the arguments of ``scoring_function`` and raises
    ValueError as it does.
    """

    def __init__(self, model, feature_columns, problem_type, class_labels=None, **options):
        from veltra_utils.explainability.models.formats import portable

        self.model = portable(model)  # an onnxruntime session does not pickle; its bytes do
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


def check_columns(columns, config, scored=True):
    """Raise ValueError when a frame of records lacks a column every explanation needs.

    ``scored`` asks for the model's output columns too; without it only the
    feature columns are needed, and records without output are scored first.
    """
    missing = missing_columns(columns, config, scored)
    if missing:
        raise ValueError("The records lack the column{0} {1}".format(
            "s" if len(missing) > 1 else "", ", ".join(quote(name) for name in missing)))


def explain_records(records, scoring_function, config, *, workers=None, timeout=None,
                    progress=None, memory_limit=None):
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
    terminal.

    Raises ValueError for a frame that lacks a needed column or a bad
    ``workers`` or ``timeout``, and RuntimeError when the worker processes
    cannot set up the explainer (the scoring function cannot be loaded there,
    say). An interrupt (KeyboardInterrupt) ends the worker processes and
    propagates.
    """
    return [response for _, response in iter_explanations(
        records, scoring_function, config, workers=workers, timeout=timeout, progress=progress,
        memory_limit=memory_limit)]


def iter_explanations(records, scoring_function, config, *, workers=None, timeout=None,
                      progress=None, memory_limit=None):
    """Yield ``(position, response)`` for every record, in input order, each as soon as it can be.

    A record's response comes as soon as it and every record before it are
    explained, so a consumer keeps what is done even if a later record hangs
    or the batch is interrupted. Takes the arguments of ``explain_records`` and
    raises as it does; the argument errors come from this call, those of the
    workers' set-up while iterating. Worker processes live while the iteration
    runs: they end when it is exhausted, closed (``close()``, or leaving a
    ``with contextlib.closing(...)`` block) or interrupted.
    """
    records = _record_list(records, config)
    workers = _worker_count(workers)
    timeout = _time_limit(timeout)
    memory_limit = _memory_limit(memory_limit)
    in_process = workers == 1 and timeout is None and memory_limit is None
    payload = None if in_process else _payload(config, scoring_function, timeout)
    if not records:
        return _nothing()
    if not in_process:  # each worker scores its own records, within its limits
        explained = _Pool(payload, min(workers, len(records)), timeout, memory_limit).explain(
            records)
        return _in_order(explained, len(records), progress)
    failed = score_records(records, scoring_function, config)
    positions = [position for position in range(len(records)) if position not in failed]
    explained = _nothing()
    if positions:
        explained = _explain_here([records[position] for position in positions],
                                  scoring_function, config)
    return _in_order(_at(positions, explained, failed), len(records), progress)


def _nothing():
    """An explanation stream without records (a generator, so it can be closed)."""
    yield from ()


def _at(positions, explained, failed):
    """The failures of scoring, then (position, response) for the ``explained`` records."""
    with contextlib.closing(explained):
        yield from failed.items()
        for index, response in explained:
            yield positions[index], response


def _explain_here(records, scoring_function, config):
    explainer = LimeTabularExplainer(config)
    for position, record in enumerate(records):
        yield position, explain_one(explainer, record, scoring_function)


def _in_order(explained, total, progress):
    """(position, response) pairs in position order, from pairs that come in any order."""
    waiting, following = {}, 0
    with contextlib.closing(explained), progress_bar(total, progress) as bar:
        for position, response in explained:
            bar.update(1)
            waiting[position] = response
            while following in waiting:
                yield following, waiting.pop(following)
                following += 1


def explain_record(record, scoring_function, config):
    """Explain one record in this process: what ``explain_records`` gives for it alone.

    A record without the model's output is scored first; gaps and categories
    the training data never held are explained as ``explain_records`` explains
    them (see ``entity.unseen``). Returns the serialised response, an error
    response for a record that cannot be explained.
    """
    return explain_records([record], scoring_function, config, workers=1, progress=False)[0]


def explain_one(explainer, record, scoring_function):
    """The explainer's response for one scored record; an exception of its own becomes an
    error response.

    A record with values the statistics lack (a gap where the training data
    had none, a new category) is explained by an explainer of its own, from
    statistics adjusted to it, and those values are marked in the response.
    The scoring function receives gaps as NaN.
    """
    try:
        config = explainer.config
        unseen = _unseen.unseen_values(config, record)
        if unseen:
            config = _unseen.adjusted_config(config, unseen)
            explainer = LimeTabularExplainer(config)
        score = _unseen.GapsAsNaN(scoring_function, _unseen.numeric_gap_positions(config))
        return _unseen.marked(explainer.explain(record, score), config, unseen)
    except Exception as error:  # explain answers with a response; this is a last resort
        return error_response(_describe(error))


def _record_list(records, config):
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency
        pd = None
    if pd is not None and isinstance(records, pd.DataFrame):
        check_columns(records.columns, config, scored=False)
        return records.to_dict("records")
    if isinstance(records, (str, bytes, Mapping)):
        raise TypeError("records must be a DataFrame or an iterable of records, not a single {0}"
                        .format(type(records).__name__))
    # Scoring fills in missing output: on copies, never on the caller's records.
    return [dict(record) if isinstance(record, Mapping) else record for record in records]


def _worker_count(workers):
    if workers is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except AttributeError:  # not every platform can tell which cores this process may use
            return max(1, os.cpu_count() or 1)
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError("workers must be a positive integer or None, got {0!r}".format(workers))
    return workers


def _memory_limit(limit):
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, numbers.Integral) or limit < 1:
        raise ValueError("memory_limit must be a positive number of bytes or None, got {0!r}"
                         .format(limit))
    return int(limit)


def _time_limit(timeout):
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real) \
            or not 0 < timeout < math.inf:
        raise ValueError("timeout must be a positive number of seconds or None, got {0!r}"
                         .format(timeout))
    return float(timeout)


def _payload(config, scoring_function, timeout=None):
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
                        "workers=1{3}".format(scoring_function, type(error).__name__, error,
                                              "" if timeout is None else " without a timeout")) \
            from error
    return pickled_config, pickled_score


# ---------------------------------------------------------------- a trial of the model

def trial_row(config):
    """A record built from the statistics alone: every numeric feature at its first bin
    boundary, every categorical one at its first category."""
    stats, lime_stats = config.training_stats, config.training_stats.get_lime_stats()
    row = []
    for position in range(len(config.feature_columns)):
        categories = stats.cat_cols_encoding_map.get(position)
        row.append(categories.tolist()[0] if categories is not None
                   else float(lime_stats["bins"][position][0]))
    return row


def try_model(scoring_function, config, *, timeout=None, memory_limit=None):
    """Score a row built from the statistics once, in a worker process under the limits;
    return None when the model answers, else why it cannot be used, in one line.

    A model that crashes, overruns or runs out of memory on such a row would do
    the same on every record, so the batch is refused before it starts.
    """
    timeout, memory_limit = _time_limit(timeout), _memory_limit(memory_limit)
    payload = _payload(config, scoring_function, timeout)
    context = _start_context()
    receiving, sending = context.Pipe(duplex=False)
    parent = os.getpid() if context.get_start_method() == "fork" else None
    process = context.Process(target=_try, name="veltra-explain-trial",
                              args=(sending,) + payload + (memory_limit, parent))
    process.start()
    sending.close()
    try:
        limit = None if timeout is None else max(_SETUP_SECONDS, timeout)
        ready = multiprocessing.connection.wait([receiving, process.sentinel], limit)
        if not ready:
            return "the model took longer than {0} to score a row".format(_seconds(limit))
        try:
            return receiving.recv()
        except (EOFError, OSError):
            return "the model process {0}".format(_exit_description(process))
    finally:
        receiving.close()
        if process.is_alive():
            process.kill()
        process.join(_GRACE_SECONDS)


def _try(connection, pickled_config, pickled_score, memory_limit, parent):
    _become_worker(parent)
    try:
        config, score = _loaded(pickled_config, pickled_score, 1, memory_limit)
        score([trial_row(config)])
        reason = None
    except MemoryError:
        reason = "the model needed more memory than the limit of {0}".format(
            format_size(memory_limit)) if memory_limit else "the model ran out of memory"
    except BaseException as error:
        reason = "the model failed on a row built from the statistics: {0}: {1}".format(
            type(error).__name__, _describe(error))
    connection.send(reason)
    connection.close()


# ---------------------------------------------------------------- worker processes

def _serve(connection, pickled_config, pickled_score, threads, memory_limit, parent,
           inherited):
    """A worker process: one explainer, one record per message, until the pipe closes.

    Reports ``("ready", None)`` or ``("ready", reason)`` when set up, then
    answers each pickled record with its response: the record is scored first
    when it lacks the model's output, then explained. ``memory_limit`` bounds
    the memory the model may add to the worker's own.
    """
    _become_worker(parent)
    for descriptor in inherited:
        # The parent's ends of the pipes, this worker's own among them, copied
        # by fork: while open here, no worker would see its pipe close.
        try:
            os.close(descriptor)
        except OSError:
            pass
    try:
        config, score = _loaded(pickled_config, pickled_score, threads, memory_limit)
        explainer = LimeTabularExplainer(config)
    except BaseException as error:
        setup_error = "{0}: {1}".format(type(error).__name__, _describe(error))
    else:
        setup_error = None
    try:
        connection.send(("ready", setup_error))
        while setup_error is None:
            try:
                pickled_record = connection.recv_bytes()
            except EOFError:  # the parent is done, or gone
                break
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                try:
                    response = _scored_and_explained(explainer, pickle.loads(pickled_record),
                                                     score, memory_limit)
                except BaseException as error:  # SystemExit from a scoring function, say
                    response = error_response("The record could not be explained in a worker "
                                              "process: {0}: {1}".format(type(error).__name__,
                                                                         _describe(error)))
            # The warnings go back with the response, for the parent to raise as its own.
            raised = [(warning.category, str(warning.message))
                      for warning in caught[:_MOST_WARNINGS]]
            try:
                message = pickle.dumps((response, raised), protocol=pickle.HIGHEST_PROTOCOL)
            except Exception as error:
                message = pickle.dumps((error_response(
                    "The worker process could not return the response: {0}: {1}".format(
                        type(error).__name__, _describe(error))), []))
            connection.send_bytes(message)
    except OSError:  # the pipe broke: the parent is gone
        pass
    finally:
        connection.close()


def _become_worker(parent):
    """Interrupting is the parent's business: it ends the workers. A forked worker
    inherits the parent's handlers, so ending on SIGTERM is restored."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    _end_with_parent(parent)


def _loaded(pickled_config, pickled_score, threads, memory_limit):
    """(config, scoring function) unpickled in a worker, the model within the limits."""
    _limit_threads(threads)
    config = pickle.loads(pickled_config)
    _limit_memory(memory_limit)
    return config, pickle.loads(pickled_score)


def _scored_and_explained(explainer, record, score, memory_limit):
    """A worker's response for one record: scored first when it lacks the model's output."""
    failed = score_records([record], score, explainer.config)
    response = failed[0] if failed else explain_one(explainer, record, score)
    error = response.get("error") if isinstance(response, dict) else None
    if memory_limit is not None and error and not "".join(map(str, error.get("vals") or [])):
        # An allocation refused by the limit raises MemoryError, whose text is empty.
        return error_response("The explanation needed more memory than the worker's limit of "
                              "{0} allows".format(format_size(memory_limit)))
    return response


def _limit_memory(limit):
    """Let this process's memory grow by at most ``limit`` bytes from now on: an allocation
    beyond fails with MemoryError instead of exhausting the machine.

    The limit is on the process's data (its heap and private writable mappings, where
    arrays live), not on its address space, which shared libraries and the address
    ranges they reserve would fill long before any memory is used.
    """
    if limit is None:
        return
    # pyarrow's own allocator (pandas builds text columns with it) reserves large arenas up
    # front, which the limit would count; the system's allocator takes memory as it is used.
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    try:
        import pyarrow

        pyarrow.set_memory_pool(pyarrow.system_memory_pool())
    except ImportError:
        pass
    try:
        import resource

        with open("/proc/self/status") as status:
            data = next(int(line.split()[1]) * 1024 for line in status
                        if line.startswith("VmData:"))
        _, hard = resource.getrlimit(resource.RLIMIT_DATA)
        wanted = data + limit
        if hard != resource.RLIM_INFINITY:
            wanted = min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_DATA, (wanted, hard))
    except (ImportError, OSError, ValueError, StopIteration):  # no such limit here
        pass


def _end_with_parent(parent):
    """On Linux, have the kernel kill this worker when its parent ends, even abruptly.

    Without it a worker busy with a record would outlive a parent that was
    killed; an idle worker ends anyway, when its pipe closes.
    """
    if not sys.platform.startswith("linux"):
        return
    try:
        import ctypes

        pr_set_pdeathsig = 1
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, int(signal.SIGKILL), 0, 0, 0)
    except (OSError, AttributeError):  # no libc to ask: the pipe still ends idle workers
        return
    if parent is not None and os.getppid() != parent:  # it ended before the request
        os._exit(1)


def _limit_threads(threads):
    """Share the cores among the workers: numpy's and scikit-learn's thread pools would each take all.

    The limits hold for the rest of the worker's life.
    """
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # pragma: no cover - scikit-learn depends on it
        return
    threadpool_limits(limits=threads)


class _Worker:
    """A worker process, the parent's end of its pipe, and the record it is explaining."""

    def __init__(self, context):
        self.connection, self.child_end = context.Pipe()
        self.process = None
        self.ready = False
        self.position = None
        self.deadline = None

    def start(self, context, payload, inherited, setup_limit):
        parent = os.getpid() if context.get_start_method() == "fork" else None
        self.process = context.Process(target=_serve, name="veltra-explain-worker",
                                       args=(self.child_end,) + payload + (parent, inherited))
        if setup_limit is not None:
            self.deadline = time.monotonic() + setup_limit
        self.process.start()
        self.child_end.close()

    def give(self, position, pickled_record, timeout):
        self.connection.send_bytes(pickled_record)
        self.position = position
        self.deadline = None if timeout is None else time.monotonic() + timeout

    def started(self):
        return self.process is not None and self.process.pid is not None


class _Pool:
    """Worker processes explaining one record at a time each, replaced when they die or overrun.

    A worker that dies fails only the record it was explaining; one whose
    record takes longer than the time limit is killed, and that record gets a
    timeout error response. Whatever ends the pool's work (the end of the
    records, an exception, an interrupt, the consumer closing it) ends its
    workers too.
    """

    def __init__(self, payload, workers, timeout, memory_limit=None):
        # A walled worker runs one thread pool of one thread: a model's library threads
        # are part of what the wall bounds (and OpenMP cannot start threads after a fork).
        threads = 1 if memory_limit is not None else max(1, _worker_count(None) // workers)
        self.payload = payload + (threads, memory_limit)
        self.size = workers
        self.timeout = timeout
        self.setup_limit = None if timeout is None else max(_SETUP_SECONDS, timeout)
        self.context = _start_context()
        self.workers = []

    def explain(self, records):
        """Yield (position, response) as each record is done, not necessarily in order."""
        queue = collections.deque(enumerate(records))
        try:
            while queue or any(worker.position is not None for worker in self.workers):
                busy = sum(worker.position is not None for worker in self.workers)
                while len(self.workers) < min(self.size, busy + len(queue)):
                    self._start()
                for worker in list(self.workers):
                    while queue and worker.ready and worker.position is None:
                        position, record = queue.popleft()
                        failure = self._give(worker, position, record, queue)
                        if failure is not None:
                            yield position, failure
                for done in self._wait():
                    yield done
        except BaseException:
            self._stop(at_once=True)
            raise
        self._stop(at_once=False)

    def _start(self):
        worker = _Worker(self.context)
        self.workers.append(worker)
        inherited = []
        if self.context.get_start_method() == "fork":
            inherited = [other.connection.fileno() for other in self.workers]
        worker.start(self.context, self.payload, inherited, self.setup_limit)

    def _give(self, worker, position, record, queue):
        """Send the record to the idle worker; its error response if it cannot be sent."""
        try:
            pickled = pickle.dumps(record, protocol=pickle.HIGHEST_PROTOCOL)
        except Exception as error:
            return error_response("The record cannot be sent to a worker process: {0}: {1}"
                                  .format(type(error).__name__, _describe(error)))
        try:
            worker.give(position, pickled, self.timeout)
        except OSError:  # the worker ended while idle: the record waits for the next one
            queue.appendleft((position, record))
            worker.position = None
            self._remove(worker)
        return None

    def _wait(self):
        """Wait until a worker answers, ends or overruns; return the records it finished."""
        waited = []
        for worker in self.workers:
            waited += [worker.connection, worker.process.sentinel]
        deadlines = [worker.deadline for worker in self.workers if worker.deadline is not None]
        wait = None if not deadlines else \
            min(_LONGEST_WAIT, max(0.0, min(deadlines) - time.monotonic()))
        ready = set(multiprocessing.connection.wait(waited, wait))
        finished = []
        for worker in list(self.workers):
            if worker.connection in ready or worker.process.sentinel in ready:
                finished += self._hear(worker)
        now = time.monotonic()
        for worker in list(self.workers):
            if worker.deadline is not None and worker.deadline <= now:
                finished += self._overrun(worker)
        return finished

    def _hear(self, worker):
        """Take the worker's messages; if it has ended, what that costs its record."""
        finished = []
        try:
            while worker.connection.poll():
                if not worker.ready:
                    _, setup_error = worker.connection.recv()
                    if setup_error is not None:
                        raise RuntimeError("The worker processes could not set up the explainer: "
                                           "{0}".format(setup_error))
                    worker.ready, worker.deadline = True, None
                    continue
                response = self._response(worker.connection.recv_bytes())
                if worker.position is not None:
                    finished.append((worker.position, response))
                worker.position, worker.deadline = None, None
        except (EOFError, OSError):
            pass  # its end of the pipe closed: it has ended
        else:
            if worker.process.is_alive():
                return finished
        if not worker.ready:
            raise RuntimeError("The worker processes could not set up the explainer: a worker "
                               "process ended unexpectedly while setting up ({0})"
                               .format(_exit_description(worker.process)))
        if worker.position is not None:
            finished.append((worker.position, error_response("{0}: {1}".format(
                _WORKER_DIED, _exit_description(worker.process)))))
        self._remove(worker)
        return finished

    @staticmethod
    def _response(message):
        """The response a worker sent; the warnings it caught are raised here."""
        try:
            response, raised = pickle.loads(message)
        except Exception as error:
            return error_response("The worker process could not return the response: {0}: {1}"
                                  .format(type(error).__name__, _describe(error)))
        for category, text in raised:
            if not (isinstance(category, type) and issubclass(category, Warning)):
                category = UserWarning
            warnings.warn(text, category, stacklevel=2)
        return response

    def _overrun(self, worker):
        if not worker.ready:
            raise RuntimeError("The worker processes could not set up the explainer within {0}"
                               .format(_seconds(self.setup_limit)))
        position = worker.position
        worker.process.kill()
        self._remove(worker)
        return [(position, error_response(
            "The explanation took longer than {0} and was stopped".format(
                _seconds(self.timeout))))]

    def _remove(self, worker):
        worker.ready = False
        self.workers.remove(worker)
        _end_workers([worker], at_once=True)

    def _stop(self, at_once):
        workers, self.workers = self.workers, []
        _end_workers(workers, at_once)


def _end_workers(workers, at_once):
    """End the workers: closing its pipe ends an idle one; ``at_once`` terminates them first.

    One that lingers past the grace period is killed.
    """
    for worker in workers:
        worker.connection.close()
        worker.child_end.close()
        if at_once and worker.started():
            with contextlib.suppress(OSError, ValueError):
                worker.process.terminate()
    deadline = time.monotonic() + _GRACE_SECONDS
    for worker in workers:
        if not worker.started():
            continue
        process = worker.process
        process.join(max(0.0, deadline - time.monotonic()))
        if process.is_alive():
            with contextlib.suppress(OSError, ValueError):
                process.kill()
            process.join(_GRACE_SECONDS)
        if not process.is_alive():
            process.close()


def _exit_description(process):
    process.join(_GRACE_SECONDS)
    code = process.exitcode
    if code is None:
        return "still running"
    if code < 0:
        try:
            return "ended by " + signal.Signals(-code).name
        except ValueError:
            return "ended by signal {0}".format(-code)
    return "exit status {0}".format(code)


def _seconds(seconds):
    return "{0:g} second{1}".format(seconds, "" if seconds == 1 else "s")


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
