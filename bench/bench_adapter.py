"""The prediction adapter on one LIME batch: conversion of 5,000 x 30 perturbed
values, the scoring call, possible predictions and the label map; and the
model adapter's DataFrame built from the converted rows."""
import time
from unittest import mock

from baseline import PythonLimeTabularExplainer
from veltra_utils.explainability.explainers.lime import lime_tabular_explainer as module
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import _frame
from veltra_utils.explainability.utils.values import numeric_dtype
from workloads import mixed_config, perturbed_batch, precomputed_scores, wide_frame

ROWS, CLASSES = 5000, 3
FRAME_GOAL = 1.5e-3


def best_time(function, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def run():
    config = mixed_config(wide_frame())
    batch = perturbed_batch(config, ROWS)
    scores = precomputed_scores(ROWS, range(CLASSES))
    elements = batch.size

    compiled = LimeTabularExplainer(config)
    compiled.predict_proba = lambda rows: scores
    baseline = PythonLimeTabularExplainer(config)
    baseline.predict_proba = lambda rows: scores
    assert compiled._LimeTabularExplainer__convert_data(batch) == baseline.convert_data(batch)

    predictions, probabilities = scores

    def compiled_bookkeeping():
        compiled._LimeTabularExplainer__set_possible_predictions(predictions)
        compiled._LimeTabularExplainer__set_label_map(predictions, probabilities)

    def baseline_bookkeeping():
        baseline.set_possible_predictions(predictions)
        baseline.set_label_map(predictions, probabilities)

    floor = best_time(batch.tolist)
    figures = [
        ("conversion", best_time(lambda: compiled._LimeTabularExplainer__convert_data(batch)),
         best_time(lambda: baseline.convert_data(batch))),
        ("possible predictions + label map", best_time(compiled_bookkeeping),
         best_time(baseline_bookkeeping)),
        ("adapter (conversion + scoring bookkeeping)",
         best_time(lambda: compiled._LimeTabularExplainer__predict_proba(batch)),
         best_time(lambda: baseline.predict(batch))),
    ]
    print("Prediction adapter, %d x %d batch (%d elements), %d classes"
          % (ROWS, batch.shape[1], elements, CLASSES))
    print("  %-44s %10s %14s %10s %12s" % ("", "compiled", "elements/s", "baseline", "speed-up"))
    for name, compiled_time, baseline_time in figures:
        print("  %-44s %8.1f ms %14.3g %8.1f ms %11.1fx" % (
            name, compiled_time * 1e3, elements / compiled_time, baseline_time * 1e3,
            baseline_time / compiled_time))
    print("  %-44s %8.1f ms %14.3g" % ("floor: ndarray.tolist()", floor * 1e3, elements / floor))

    rows = compiled._LimeTabularExplainer__convert_data(batch)
    columns = config.feature_columns
    dtypes = [numeric_dtype(config.schema.get(name)) for name in columns]
    frame_time = best_time(lambda: _frame(rows, columns, dtypes), repeats=20)
    with mock.patch.object(module, "_rows_to_columns", lambda rows, kinds: None):
        python_time = best_time(lambda: _frame(rows, columns, dtypes), repeats=20)
    print("  %-44s %8.2f ms %14s %8.2f ms %11.1fx   goal <= %.1f ms: %s" % (
        "DataFrame from the rows (typed columns)", frame_time * 1e3, "", python_time * 1e3,
        python_time / frame_time, FRAME_GOAL * 1e3, "MET" if frame_time <= FRAME_GOAL else "MISSED"))
    figures.append(("frame", frame_time, python_time))
    return figures


if __name__ == "__main__":
    run()
