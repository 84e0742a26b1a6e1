"""Throughput to plan with: records per second per core for three model sizes,
and how it changes with the number of perturbations, the number of features
and LIME's feature selection.

Every process is held to one BLAS/OpenMP thread, so a figure per core is one
core's worth and N cores give about N times it. Rates are steady-state: each
worker's first record, which carries the pool's start-up, is left out. Beside
them stands the processor time a record took (this process and its worker
processes, start-up included), which other work on the machine hardly moves:
on a busy machine it is the figure to plan with, and the scaling figures use it.

VELTRA_BENCH_QUICK=1 explains only a few records per cell, to check that the
benchmark runs; its figures are too noisy to quote.
"""
import os
import platform
import resource
import time

import numpy as np

from veltra_utils.explainability.running.batch import ModelScoring, iter_explanations
from workloads import MODEL_KINDS, churn_frame, fitted_model, mixed_config, scored_records

QUICK = os.environ.get("VELTRA_BENCH_QUICK", "") not in ("", "0")
# Records per cell: a few minutes for the whole benchmark on two cores.
TABLE_RECORDS = 4 if QUICK else 60
SCALING_RECORDS = 3 if QUICK else 30
TABLE_WIDTHS = (10, 30)
TABLE_WORKERS = (1, 2)
PERTURBATIONS = (1000, 5000, 20000)
WIDTHS = (10, 30, 60)
SELECTION_WIDTHS = (10, 30)
# LIME's 'auto' feature selection: forward selection up to 6 features, highest weights above.
SELECTION_COUNTS = (6, 7)
_THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


class Workload:
    """A table of ``features`` columns, its statistics, a model fitted on it and scored records."""

    def __init__(self, kind, features, records):
        frame = churn_frame(features)
        self.config = mixed_config(frame)
        self.model = fitted_model(kind, frame)
        self.records = scored_records(frame, self.model, records)
        stats = self.config.training_stats
        self.score = ModelScoring(self.model, self.config.feature_columns, self.config.problem_type,
                                  class_labels=stats.class_labels, schema=self.config.schema)

    def configured(self, **settings):
        """The workload's configuration with some of LIME's settings changed."""
        config = self.config
        return type(config)(training_stats=config.training_stats, problem_type=config.problem_type,
                            **{"features_count": config.features_count,
                               "perturbations_count": config.perturbations_count, **settings})


def processor_seconds():
    """Processor time of this process and of its children that have ended."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime, children.ru_utime + children.ru_stime


def steady_rate(workload, workers=1, config=None):
    """(responses, wall seconds, steady records per second, processor seconds per record) for
    explaining the workload's records; the last is None when the workers were not this
    process's children (started from a fork server), whose time cannot be read."""
    config = config or workload.config
    own_before, children_before = processor_seconds()
    start = time.perf_counter()
    responses, stamps = [], []
    for _, response in iter_explanations(workload.records, workload.score, config,
                                         workers=workers, progress=False):
        responses.append(response)
        stamps.append(time.perf_counter())
    failed = [response for response in responses if "predictions" not in response]
    assert not failed, failed[0]
    wall = stamps[-1] - start
    own, children = (after - before for after, before in zip(processor_seconds(),
                                                              (own_before, children_before)))
    processor = None if workers > 1 and children == 0 else (own + children) / len(stamps)
    # Responses come in input order, so a few records finished early may arrive
    # together: too few records a worker leave no steady stretch to time.
    skip = workers
    if len(stamps) < 4 * workers:
        return responses, wall, len(stamps) / wall, processor
    return responses, wall, (len(stamps) - skip) / (stamps[-1] - stamps[skip - 1]), processor


def linear_fit(xs, seconds):
    """Least-squares ``seconds ~ a + b * x``: (a, b, largest relative miss at the points)."""
    slope, intercept = np.polyfit(np.asarray(xs, float), np.asarray(seconds, float), 1)
    fitted = intercept + slope * np.asarray(xs, float)
    miss = float(np.max(np.abs(fitted - seconds) / np.asarray(seconds, float)))
    return float(intercept), float(slope), miss


def machine():
    """The cores, processor and library versions the figures were taken with, on one line."""
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            names = [line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")]
        model = names[0] if names else model
    except OSError:
        pass
    from importlib import metadata

    import pandas
    import sklearn
    lime_version = metadata.version("lime")
    return "%d cores (%s); Python %s, numpy %s, pandas %s, scikit-learn %s, lime %s" % (
        os.cpu_count(), model, platform.python_version(), np.__version__, pandas.__version__,
        sklearn.__version__, lime_version)


def throughput_table():
    """Records per second per core for each model, width and worker count."""
    print("Records per second, 5000 perturbations, 10 features reported, %d records a cell" % TABLE_RECORDS)
    print("  %-26s %8s %7s %9s %10s %9s %14s %14s" % (
        "model", "features", "workers", "wall s", "records/s", "per core", "ms/record/core",
        "CPU ms/record"))
    rows = []
    for kind in MODEL_KINDS:
        for width in TABLE_WIDTHS:
            workload = Workload(kind, width, TABLE_RECORDS)
            serial = None
            for workers in TABLE_WORKERS:
                responses, wall, rate, processor = steady_rate(workload, workers)
                if serial is None:
                    serial = responses
                assert responses == serial, "the responses depend on the number of workers"
                per_core = rate / workers
                rows.append((kind, width, workers, rate, per_core, processor))
                print("  %-26s %8d %7d %9.1f %10.1f %9.1f %14.0f %14s" % (
                    kind, width, workers, wall, rate, per_core, 1000 / per_core,
                    "-" if processor is None else "%.0f" % (processor * 1e3)))
    return rows


def scaling(title, unit, points, seconds, per=1):
    """Prints processor ms per record at each point, the ratio to the first, and the line
    fitted through them (its slope per ``per`` of ``unit``)."""
    print(title)
    print("  %12s %14s %12s %14s" % (unit, "CPU ms/record", "records/s", "time vs first"))
    for point, per_record in zip(points, seconds):
        print("  %12d %14.1f %12.1f %13.2fx" % (point, per_record * 1e3, 1 / per_record,
                                                 per_record / seconds[0]))
    intercept, slope, miss = linear_fit(points, seconds)
    print("  %s grew %.1fx; time grew %.2fx. Fitted: %.1f ms + %.2f ms per %s "
          "(off by at most %.1f%% at any point)" % (
              unit, points[-1] / points[0], seconds[-1] / seconds[0], intercept * 1e3,
              slope * per * 1e3, "%d %s" % (per, unit) if per > 1 else unit.rstrip("s"),
              100 * miss))
    return seconds


def scaling_figures():
    """How one model's serial rate moves with perturbations, features and feature selection."""
    kind = MODEL_KINDS[0]
    print("Scaling, %s, serial, %d records a point" % (kind, SCALING_RECORDS))
    wide = Workload(kind, 30, SCALING_RECORDS)
    runs = [steady_rate(wide, config=wide.configured(perturbations_count=count))[3]
            for count in PERTURBATIONS]
    scaling("- with perturbations (30 features):", "perturbations", PERTURBATIONS, runs, per=1000)
    workloads = {width: wide if width == 30 else Workload(kind, width, SCALING_RECORDS)
                 for width in sorted(set(WIDTHS) | set(SELECTION_WIDTHS))}
    runs = [steady_rate(workloads[width])[3] for width in WIDTHS]
    scaling("- with feature columns (5000 perturbations):", "features", WIDTHS, runs)

    print("- feature selection: forward selection (6 features reported) vs highest weights (7)")
    print("  %12s %16s %16s %10s" % ("features", "CPU ms (6)", "CPU ms (7)", "6 vs 7"))
    for width in SELECTION_WIDTHS:
        workload = workloads[width]
        forward, highest = (steady_rate(workload, config=workload.configured(features_count=count))[3]
                            for count in SELECTION_COUNTS)
        print("  %12d %16.1f %16.1f %9.2fx" % (width, forward * 1e3, highest * 1e3, forward / highest))


def run():
    for name in _THREAD_VARIABLES:  # for workers that start a fresh interpreter
        os.environ.setdefault(name, "1")
    from threadpoolctl import threadpool_limits

    print("Throughput%s: %s" % (" (quick check, figures not to quote)" if QUICK else "", machine()))
    started = time.perf_counter()
    with threadpool_limits(limits=1):
        throughput_table()
        print()
        scaling_figures()
    print("  (%.0f s in all)" % (time.perf_counter() - started))


if __name__ == "__main__":
    run()
