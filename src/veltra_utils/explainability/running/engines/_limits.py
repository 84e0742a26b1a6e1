"""The limits of worker processes: the checks of their arguments and the fixed bounds."""
import math
import numbers
import os
from typing import Any, Optional

# Setting up a worker (unpickling the model, building the explainer) is not
# part of a record's time limit, but with a limit it has a bound of its own,
# so that a worker that never gets ready cannot hold up the batch.
SETUP_SECONDS = 60.0
# How long a worker may take to end once asked to, before it is killed.
GRACE_SECONDS = 2.0


def cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not every platform can tell which cores this process may use
        return max(1, os.cpu_count() or 1)


def worker_count(workers: Any) -> int:
    """``workers`` checked: a positive integer, or None for one per core."""
    if workers is None:
        return cores()
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError("workers must be a positive integer or None, got {0!r}".format(workers))
    return workers


def memory_limit(limit: Any) -> Optional[int]:
    """``limit`` checked: a positive number of bytes, or None for no limit."""
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, numbers.Integral) or limit < 1:
        raise ValueError("memory_limit must be a positive number of bytes or None, got {0!r}"
                         .format(limit))
    return int(limit)


def time_limit(timeout: Any) -> Optional[float]:
    """``timeout`` checked: a positive number of seconds, or None for no limit."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real) \
            or not 0 < float(timeout) < math.inf:
        raise ValueError("timeout must be a positive number of seconds or None, got {0!r}"
                         .format(timeout))
    return float(timeout)


def seconds(amount: float) -> str:
    """``amount`` in words: "1 second", "2.5 seconds"."""
    return "{0:g} second{1}".format(amount, "" if amount == 1 else "s")
