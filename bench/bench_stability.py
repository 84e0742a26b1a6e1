"""What trusting an explanation costs: ``stability`` with five extra runs and
``stable_explanation`` against one plain ``explain_record``, per record, on the
churn table and on the churn table widened to 35 columns."""
import os
import statistics
import time

from threadpoolctl import threadpool_limits

from veltra_utils.explainability import explain_record, scoring_function, stability, stable_explanation
from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table
from workloads import mixed_config

QUICK = bool(os.environ.get("VELTRA_BENCH_QUICK"))
RECORDS = 5 if QUICK else 20
PERTURBATIONS = 1000 if QUICK else 5000
CAP = 4 * PERTURBATIONS if QUICK else 40000
RUNS = 5


def timed(function, *arguments, **options):
    start = time.perf_counter()
    result = function(*arguments, **options)
    return time.perf_counter() - start, result


def table_figures(frame):
    """Per record, the seconds of one explanation, of ``stability`` and of
    ``stable_explanation`` (from PERTURBATIONS up to CAP), and what the latter settled on."""
    model = churn_model(frame.drop(columns=LABEL), frame[LABEL])
    config = mixed_config(frame, perturbations=PERTURBATIONS)
    stats = config.training_stats
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels, schema=stats.schema)
    # records as a host holds them before scoring: every call scores the record first
    records = frame.drop(columns=LABEL).iloc[-RECORDS:].to_dict("records")
    explain_record(records[0], score, config)  # warm-up: imports, the model's first call
    plain, measured, until, settled = [], [], [], []
    for record in records:
        plain.append(timed(explain_record, record, score, config)[0])
        measured.append(timed(stability, record, score, config, runs=RUNS)[0])
        seconds, result = timed(stable_explanation, record, score, config,
                                max_perturbations=CAP, runs=RUNS)
        until.append(seconds)
        settled.append(result.perturbations_count if result.stable else None)
    return plain, measured, until, settled, len(stats.feature_columns), config.features_count


def run():
    rows = []
    with threadpool_limits(1):
        for name, frame in (("churn", churn_table(3000, seed=0)),
                            ("churn + 30 columns", churn_table(3000, seed=0, extra_columns=30))):
            plain, measured, until, settled, columns, top = table_figures(frame)
            rows.append((name, columns, top, plain, measured, until, settled))

    print("Stability per record, %d records, %d perturbations, runs=%d, stable_explanation up to"
          " %d, logistic regression, BLAS on one thread" % (RECORDS, PERTURBATIONS, RUNS, CAP))
    print("  %-20s %8s %10s %18s %10s %26s %s" % (
        "table", "columns", "explain", "stability(runs=5)", "ratio", "stable_explanation",
        "ratio   settled"))
    results = []
    for name, columns, top, plain, measured, until, settled in rows:
        ratio = statistics.median(m / p for m, p in zip(measured, plain))
        until_ratio = statistics.median(u / p for u, p in zip(until, plain))
        reached = [count for count in settled if count is not None]
        at = ", ".join("%d at %d" % (reached.count(count), count) for count in sorted(set(reached)))
        print("  %-20s %8s %8.1f ms %15.1f ms %9.1fx %23.1f ms %6.1fx   %d of %d stable%s" % (
            name, "%d (top %d)" % (columns, top), 1e3 * statistics.median(plain),
            1e3 * statistics.median(measured), ratio, 1e3 * statistics.median(until),
            until_ratio, len(reached), len(settled), " (%s)" % at if at else ""))
        results.append((name, ratio, until_ratio))
    print("  stability(runs=5) is six explanations: expected about 6x one explanation")
    return results


if __name__ == "__main__":
    run()
