"""Scoring that never answers for one marked record, for the time-limit and interrupt tests.

Every process that scores leaves an empty file named ``scoring-<pid>`` in a
folder of the test's (``hanging-<pid>`` once it starts to hang), so that the
tests can tell which processes worked and check that none outlives the batch.
The classes live at module level so that worker processes can unpickle them.
"""
import os
import time

from churn_batch import CHARGE

# A monthly charge no perturbation comes near.
HANG_CHARGE = 34.5678912


def _note(folder, what):
    with open(os.path.join(folder, "{0}-{1}".format(what, os.getpid())), "w"):
        pass


def _hang(folder):
    _note(folder, "hanging")
    while True:
        time.sleep(0.5)


def pids(folder, what="scoring"):
    """The pids that left a ``what`` file in ``folder``."""
    prefix = what + "-"
    return {int(name[len(prefix):]) for name in os.listdir(folder) if name.startswith(prefix)}


def running(pid):
    """Whether the process exists and has not ended (a zombie has ended)."""
    try:
        with open("/proc/{0}/stat".format(pid)) as stat:
            return stat.read().rpartition(")")[2].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False
    except OSError:  # no /proc here
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        return True


class Hanging:
    """Scores like ``score``, but never answers for a record charged HANG_CHARGE.

    In the process that made it, it raises instead, so that a test gone wrong
    cannot hang the test run.
    """

    def __init__(self, score, folder):
        self.score = score
        self.folder = str(folder)
        self.creator = os.getpid()

    def __call__(self, rows):
        _note(self.folder, "scoring")
        if any(row[CHARGE] == HANG_CHARGE for row in rows):
            if os.getpid() == self.creator:
                raise AssertionError("Hanging ran in the process that made it")
            _hang(self.folder)
        return self.score(rows)


class HangingModel:
    """A fitted classifier that never answers for rows charged HANG_CHARGE a month."""

    def __init__(self, model, folder):
        self.model = model
        self.folder = str(folder)
        self.classes_ = model.classes_
        self.feature_names_in_ = model.feature_names_in_

    def predict_proba(self, frame):
        _note(self.folder, "scoring")
        if (frame["monthly_charge"] == HANG_CHARGE).any():
            _hang(self.folder)
        return self.model.predict_proba(frame)

    def predict(self, frame):
        return self.model.classes_[self.predict_proba(frame).argmax(axis=1)]


def descendants(pid):
    """The pids of the processes descended from ``pid``, read from /proc (empty without it)."""
    children = {}
    try:
        names = os.listdir("/proc")
    except OSError:
        return set()
    for name in names:
        if not name.isdigit():
            continue
        try:
            with open("/proc/{0}/stat".format(name)) as stat:
                parent = int(stat.read().rpartition(")")[2].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(parent, []).append(int(name))
    found, waiting = set(), [pid]
    while waiting:
        for child in children.get(waiting.pop(), []):
            if child not in found:
                found.add(child)
                waiting.append(child)
    return found
