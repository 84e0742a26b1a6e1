"""What runs inside a worker process: its set-up, its walls, and its answers to the parent.

A worker explains one pickled record per message until its pipe closes; the
trial process scores a row built from the statistics once.
"""
import os
import pickle
import signal
import sys
import warnings
from typing import Any, List

from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import score_records
from veltra_utils.explainability.running._records import explain_one
from veltra_utils.explainability.utils.text import format_size
from veltra_utils.explainability.utils.text import one_line as _describe

# The most warnings a worker sends back with one response.
_MOST_WARNINGS = 1000


def trial_row(config: Any) -> List[Any]:
    """A record built from the statistics alone: every numeric feature at its first bin
    boundary, every categorical one at its first category."""
    stats, lime_stats = config.training_stats, config.training_stats.get_lime_stats()
    row = []
    for position in range(len(config.feature_columns)):
        categories = stats.cat_cols_encoding_map.get(position)
        row.append(categories.tolist()[0] if categories is not None
                   else float(lime_stats["bins"][position][0]))
    return row


def trial(connection, pickled_config, pickled_score, memory_limit, parent):
    """The trial process: score ``trial_row`` once under the limits; send None, or why the
    model cannot be used."""
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


def serve(connection, pickled_config, pickled_score, threads, memory_limit, pickled_task,
          parent, inherited):
    """A worker process: one explainer, one record per message, until the pipe closes.

    Reports ``("ready", None)`` or ``("ready", reason)`` when set up, then
    answers each pickled record with its response: the record is scored first
    when it lacks the model's output, then explained (or given to the task, when
    one is pickled: its result is the answer). ``memory_limit`` bounds the memory
    the model may add to the worker's own.
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
        task = pickle.loads(pickled_task) or explain_one
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
                                                     score, memory_limit, task)
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


def _scored_and_explained(explainer, record, score, memory_limit, task=explain_one):
    """A worker's response for one record: scored first when it lacks the model's output."""
    failed = score_records([record], score, explainer.config)
    response = failed[0] if failed else task(explainer, record, score)
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

