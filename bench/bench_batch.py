"""Many records: throughput in one process, in two worker processes, and through Spark local[2];
and the cost of the wall the command line puts around a model (one limited worker)."""
import json
import os
import shutil
import time
import warnings

import pandas as pd

from veltra_utils.explainability.datasets import LABEL, churn_model
from veltra_utils.explainability.running.batch import ModelScoring, explain_records
from workloads import mixed_config, scored_records, wide_frame

RECORDS = 200
SAMPLES = 5000
SPEEDUP_BAR = 1.7
WALL_BAR = 0.10   # the most a walled worker may cost over explaining in this process
WALL_LIMIT = 2 << 30


def timed(function):
    start = time.perf_counter()
    result = function()
    return result, time.perf_counter() - start


def spark_run(records, score, config):
    """Responses and seconds through Spark local[2], or the reason it cannot run."""
    try:
        import pyarrow  # noqa: F401
        import pyspark.sql  # noqa: F401
    except ImportError:
        return None, "pyspark[sql] is not installed"
    if shutil.which("java") is None:
        return None, "no Java runtime"
    from veltra_utils.explainability.running.spark import explain_dataframe, session

    warnings.filterwarnings("ignore", "PySpark does not yet fully support pandas")
    spark = session("local[2]")  # quiet, its executors on this interpreter
    spark.conf.set("spark.sql.shuffle.partitions", "2")
    spark.conf.set("spark.sql.execution.arrow.pyspark.enabled", "true")
    try:
        frame = spark.createDataFrame(pd.DataFrame(records))
        # A session serving batches is already up: start the Python workers first.
        explain_dataframe(spark.createDataFrame(pd.DataFrame(records[:4])), score, config).collect()
        rows, seconds = timed(lambda: explain_dataframe(frame, score, config).collect())
        return [json.loads(row["explanation"]) for row in rows], seconds
    finally:
        spark.stop()


def run():
    frame = wide_frame(rows=3000)
    config = mixed_config(frame, perturbations=SAMPLES)
    model = churn_model(frame.drop(columns=LABEL), frame[LABEL])
    records = scored_records(frame, model, RECORDS)
    stats = config.training_stats
    score = ModelScoring(model, config.feature_columns, config.problem_type,
                         class_labels=stats.class_labels, schema=config.schema)

    serial, t_serial = timed(lambda: explain_records(records, score, config, workers=1,
                                                     progress=False))
    assert all("predictions" in response for response in serial), serial[0]
    pooled, t_pooled = timed(lambda: explain_records(records, score, config, workers=2,
                                                     progress=False))
    assert pooled == serial
    walled, t_walled = timed(lambda: explain_records(records, score, config, workers=1,
                                                     memory_limit=WALL_LIMIT, progress=False))
    assert walled == serial
    spark, t_spark = spark_run(records, score, config)
    if spark is not None:
        assert spark == serial

    print("Batches of %d records, %d samples, %d features, binary pipeline, %d cores" % (
        RECORDS, SAMPLES, len(config.feature_columns), os.cpu_count()))
    print("  %-44s %9s %12s %10s" % ("", "seconds", "records/s", "vs serial"))
    rows = [("serial, one explainer", t_serial),
            ("1 walled worker (limit, one thread)", t_walled),
            ("2 worker processes (pool start included)", t_pooled)]
    if spark is not None:
        rows.append(("Spark local[2] (workers started beforehand)", t_spark))
    for name, seconds in rows:
        print("  %-44s %9.2f %12.1f %9.2fx" % (name, seconds, RECORDS / seconds, t_serial / seconds))
    if spark is None:
        print("  %-44s skipped: %s" % ("Spark local[2]", t_spark))
    speedup = t_serial / t_pooled
    print("  2-process speed-up %.2fx, bar >= %.1fx: %s" % (
        speedup, SPEEDUP_BAR, "met" if speedup >= SPEEDUP_BAR else "MISSED"))
    cost = t_walled / t_serial - 1
    print("  the wall (one worker, %s memory limit, pool start included) costs %+.1f%%, "
          "bar <= %d%%: %s" % ("2 GiB", 100 * cost, 100 * WALL_BAR,
                               "met" if cost <= WALL_BAR else "MISSED"))
    return rows


if __name__ == "__main__":
    run()
