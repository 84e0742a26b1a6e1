"""A churn classifier and 40 of its scored records, for the batch and Spark tests.

The scoring callables here live at module level so that worker processes can
unpickle them.
"""
import functools
import os
import signal
from types import SimpleNamespace

import numpy as np

from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table, text_columns
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.running.batch import ModelScoring, explain_records
from veltra_utils.explainability.statistics.training_stats import TrainingStats

RECORDS = 40
FEATURES = ["plan", "region", "tenure_months", "support_calls", "monthly_charge"]
CHARGE = FEATURES.index("monthly_charge")
# Monthly charges no perturbation comes near: the scoring callables below
# recognise a record by them.
REFUSED_CHARGE = 12.3456789
FATAL_CHARGE = 23.4567891


@functools.lru_cache(maxsize=None)
def churn():
    """config, model, score (a ModelScoring) and frame: the scored records with a record_id."""
    table = churn_table(rows=400, seed=3)
    features = table[FEATURES]
    model = churn_model(features, table[LABEL])
    stats = TrainingStats.from_dataframe(table, LABEL, categorical_columns=text_columns(table))
    config = ExplainConfig(training_stats=stats, perturbations_count=300)
    score = ModelScoring(model, stats.feature_columns, stats.problem_type, stats.class_labels)

    frame = features.iloc[:RECORDS].copy()
    probabilities = model.predict_proba(frame)
    frame["prediction"] = model.classes_[probabilities.argmax(axis=1)]
    frame["probability"] = probabilities.max(axis=1)
    frame.insert(0, "record_id", np.arange(RECORDS))
    return SimpleNamespace(config=config, model=model, score=score, frame=frame)


@functools.lru_cache(maxsize=None)
def serial_responses():
    problem = churn()
    return tuple(explain_records(problem.frame, problem.score, problem.config, workers=1))


def records():
    """The scored records as a new list of plain mappings."""
    return churn().frame.to_dict("records")


class Refusing:
    """Scores like ``score``, but raises for a record charged REFUSED_CHARGE."""

    def __init__(self, score):
        self.score = score

    def __call__(self, rows):
        if any(row[CHARGE] == REFUSED_CHARGE for row in rows):
            raise RuntimeError("the model refuses this customer")
        return self.score(rows)


class Fatal:
    """Scores like ``score``, but ends its worker process on a record charged FATAL_CHARGE.

    ``how`` is "exit" (os._exit), "kill" (SIGKILL) or "raise" (SystemExit). In
    the process that made it, it raises instead, so a test gone wrong cannot end
    the test run.
    """

    def __init__(self, score, how):
        self.score = score
        self.how = how
        self.creator = os.getpid()

    def __call__(self, rows):
        if any(row[CHARGE] == FATAL_CHARGE for row in rows):
            if os.getpid() == self.creator:
                raise AssertionError("Fatal ran in the process that made it")
            if self.how == "exit":
                os._exit(3)
            if self.how == "kill":
                os.kill(os.getpid(), signal.SIGKILL)
            raise SystemExit(3)
        return self.score(rows)


class ArrayScoring:
    """Scores like ``score``, but returns numpy arrays ("numpy") or pandas objects ("pandas")."""

    def __init__(self, score, kind):
        self.score = score
        self.kind = kind

    def __call__(self, rows):
        predictions, probabilities = self.score(rows)
        if self.kind == "numpy":
            return np.asarray(predictions), np.asarray(probabilities)
        import pandas as pd

        return pd.Series(predictions), pd.DataFrame(probabilities)
