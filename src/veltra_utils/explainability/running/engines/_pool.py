"""The parent's side of worker processes: starting them, handing out records, and ending
them whatever ends the work."""
import collections
import contextlib
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import threading
import time
import warnings
from typing import Any, Optional, Tuple

from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.running.engines._limits import (
    GRACE_SECONDS,
    SETUP_SECONDS,
    cores,
    seconds,
)
from veltra_utils.explainability.running.engines._worker_process import serve
from veltra_utils.explainability.utils.text import one_line as _describe

_WORKER_DIED = ("The worker process explaining the record ended unexpectedly (it exited, was "
                "killed, ran out of memory or crashed in native code)")

# The longest single wait; a later deadline is simply waited for again.
_LONGEST_WAIT = 3600.0


def payload(config: Any, scoring_function: Any,
            timeout: Optional[float] = None) -> Tuple[bytes, bytes]:
    """The configuration and the scoring function pickled for the workers; TypeError says
    which one cannot be."""
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
        self.process = context.Process(target=serve, name="veltra-explain-worker",
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


class Pool:
    """Worker processes explaining one record at a time each, replaced when they die or overrun.

    A worker that dies fails only the record it was explaining; one whose
    record takes longer than the time limit is killed, and that record gets a
    timeout error response. Whatever ends the pool's work (the end of the
    records, an exception, an interrupt, the consumer closing it) ends its
    workers too.
    """

    def __init__(self, payload, workers, timeout, memory_limit=None, task=None):
        # A walled worker runs one thread pool of one thread: a model's library threads
        # are part of what the wall bounds (and OpenMP cannot start threads after a fork).
        threads = 1 if memory_limit is not None else max(1, cores() // workers)
        # The task travels pickled once; None is the explanation itself.
        self.payload = payload + (threads, memory_limit,
                                  pickle.dumps(task, protocol=pickle.HIGHEST_PROTOCOL))
        self.size = workers
        self.timeout = timeout
        self.setup_limit = None if timeout is None else max(SETUP_SECONDS, timeout)
        self.context = start_context()
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
                               .format(exit_description(worker.process)))
        if worker.position is not None:
            finished.append((worker.position, error_response("{0}: {1}".format(
                _WORKER_DIED, exit_description(worker.process)))))
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
                               .format(seconds(self.setup_limit)))
        position = worker.position
        worker.process.kill()
        self._remove(worker)
        return [(position, error_response(
            "The explanation took longer than {0} and was stopped".format(
                seconds(self.timeout))))]

    def _remove(self, worker):
        worker.ready = False
        self.workers.remove(worker)
        end_workers([worker], at_once=True)

    def _stop(self, at_once):
        workers, self.workers = self.workers, []
        end_workers(workers, at_once)


def end_workers(workers, at_once):
    """End the workers: closing its pipe ends an idle one; ``at_once`` terminates them first.

    One that lingers past the grace period is killed.
    """
    for worker in workers:
        worker.connection.close()
        worker.child_end.close()
        if at_once and worker.started():
            with contextlib.suppress(OSError, ValueError):
                worker.process.terminate()
    deadline = time.monotonic() + GRACE_SECONDS
    for worker in workers:
        if not worker.started():
            continue
        process = worker.process
        process.join(max(0.0, deadline - time.monotonic()))
        if process.is_alive():
            with contextlib.suppress(OSError, ValueError):
                process.kill()
            process.join(GRACE_SECONDS)
        if not process.is_alive():
            process.close()


def exit_description(process):
    process.join(GRACE_SECONDS)
    code = process.exitcode
    if code is None:
        return "still running"
    if code < 0:
        try:
            return "ended by " + signal.Signals(-code).name
        except ValueError:
            return "ended by signal {0}".format(-code)
    return "exit status {0}".format(code)


def start_context() -> Any:
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
    context.set_forkserver_preload([serve.__module__])
    return context
