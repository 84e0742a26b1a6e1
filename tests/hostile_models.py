"""Models that misbehave on one marked record, or on every row, for the tests of the wall
that worker processes put around a model. Module level, so that workers can unpickle them."""
import ctypes
import warnings

import numpy as np

# An income no perturbation comes near: only the marked record itself carries it.
MARKED_INCOME = 987.654321


class Misbehaving:
    """``model`` (a fitted pipeline) that crashes or asks for ``hog`` bytes on the marked
    record, or on every row with ``always``."""

    def __init__(self, model, how, always=False, hog=3 << 30):
        self.model, self.how, self.always, self.hog = model, how, always, hog

    @property
    def classes_(self):
        return self.model.classes_

    @property
    def feature_names_in_(self):
        return self.model.feature_names_in_

    def _misbehave(self, frame):
        if self.always or (frame["income"] == MARKED_INCOME).any():
            if self.how == "warn":
                warnings.warn("noisy model", UserWarning)
                return
            if self.how == "crash":
                ctypes.string_at(0)  # reads address 0: the process ends with SIGSEGV
            np.ones(self.hog // 8)   # more memory than the worker may take

    def predict(self, frame):
        self._misbehave(frame)
        return self.model.predict(frame)

    def predict_proba(self, frame):
        self._misbehave(frame)
        return self.model.predict_proba(frame)
