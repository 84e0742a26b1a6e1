"""Adapter from a fitted scikit-learn style model to the explainer's scoring function.

The explainer calls its scoring function with a list of rows (each row the
feature values in feature-column order) and expects a pair of plain lists:
the predictions, one per row, and for classification the probability rows,
one list of class probabilities per row.
"""
import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType


def scoring_function(model, feature_columns, problem_type, class_labels=None):
    """Wrap ``model`` into the scoring function that ``LimeTabularExplainer.explain`` takes.

    ``model`` needs ``predict`` and, unless the problem is a regression,
    ``predict_proba``. Models fitted on a DataFrame (pipelines with column
    transformers, estimators that know their feature names) receive a DataFrame
    with ``feature_columns``; other models receive a 2-D numpy array.

    ``problem_type`` is a ProblemType or its value text. The returned function
    gives ``(predictions, probabilities)`` as plain Python lists, or
    ``(predictions, None)`` for regression.

    ``class_labels`` (optional, e.g. ``TrainingStats.class_labels``) is the
    order of the probability columns the explainer works with. The model's
    probability columns follow its ``classes_``; when the two orders differ the
    columns are reordered, and when they hold different labels this raises
    ValueError, since the probabilities would be read for the wrong classes.
    """
    columns = list(feature_columns)
    if not isinstance(problem_type, ProblemType):
        problem_type = ProblemType(problem_type)
    regression = problem_type is ProblemType.REGRESSION
    if not callable(getattr(model, "predict", None)):
        raise ValueError("The model has no predict method")
    if not regression and not callable(getattr(model, "predict_proba", None)):
        raise ValueError("A {0} model needs a predict_proba method".format(problem_type.value))
    takes_frame = _takes_frame(model)
    order = None if regression or class_labels is None else _column_order(model, class_labels)

    def score(rows):
        rows = list(rows)
        if not rows:
            # sklearn refuses empty input; an empty batch simply has no scores.
            return [], ([] if not regression else None)
        data = pd.DataFrame(rows, columns=columns) if takes_frame else np.asarray(rows)
        predictions = [_plain(value) for value in np.asarray(model.predict(data)).ravel().tolist()]
        if regression:
            return predictions, None
        probabilities = np.asarray(model.predict_proba(data), dtype=np.float64)
        if order is not None:
            probabilities = probabilities[:, order]
        return predictions, probabilities.tolist()

    return score


def _takes_frame(model):
    if getattr(model, "feature_names_in_", None) is not None:
        return True
    # A pipeline's first step may select columns by name even when the
    # pipeline itself does not expose feature_names_in_.
    return hasattr(model, "steps")


def _column_order(model, class_labels):
    """Positions of ``class_labels`` among the model's ``classes_``, or None if already aligned."""
    classes = getattr(model, "classes_", None)
    if classes is None:
        return None
    classes = [_plain(value) for value in np.asarray(classes).tolist()]
    labels = [_plain(value) for value in class_labels]
    if len(classes) != len(labels) or any(label not in classes for label in labels):
        raise ValueError("The model predicts the classes {0!r}, the statistics hold {1!r}"
                         .format(classes, labels))
    order = [classes.index(label) for label in labels]
    return None if order == list(range(len(order))) else order


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value
