"""Training statistics of large Parquet files: DuckDB (out of core) against pandas.

Each size runs the real `veltra-explain stats` command in its own process, once
with --engine duckdb and once with --engine pandas, and reports its time and
peak memory (resident set size). Goals: DuckDB stays under 600 MiB at every
size and takes no longer than pandas. It also checks that both engines give
the same statistics on a 200,000-row table of the same generator.

VELTRA_BENCH_STATS_ROWS=200000,1000000 chooses the sizes (default 1M, 5M, 10M);
VELTRA_BENCH_STATS_ENGINES=duckdb runs one engine only.

Then the same for tables of growing width (50, 300, 1,000 and 5,000 columns,
mostly floats, some whole numbers and text; 100,000 rows, 10,000 at 5,000
columns), as Parquet and as CSV. Goals: DuckDB at the default memory limit at
every width, under twice pandas' time at 1,000 columns, 5,000 columns in
minutes. VELTRA_BENCH_QUICK=1 stops at 300 columns;
VELTRA_BENCH_STATS_WIDTHS=50,1000 chooses the widths.
"""
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import veltra_utils

SIZES = (1_000_000, 5_000_000, 10_000_000)
WIDTHS = ((50, 100_000), (300, 100_000), (1_000, 100_000), (5_000, 10_000))
WIDE_RATIO_GOAL = 2.0
WIDE_MINUTES_GOAL = 10
CHECK_ROWS = 200_000
CHUNK = 250_000
RSS_GOAL_MIB = 600
LABEL = "churn"
_WORDS = np.array(["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"],
                  dtype=object)


def _chunk(rows, rng):
    """One chunk of the generated table: 19 features of mixed kinds, some with gaps, and
    the label."""
    import pyarrow as pa

    def gaps(values, share):
        return pa.array(values, mask=rng.uniform(size=rows) < share)

    columns = {}
    for number in range(5):
        columns["count_%d" % number] = gaps(rng.integers(0, 50 * (number + 1), rows),
                                            0.05 if number % 2 else 0.0)
    for number in range(6):
        columns["amount_%d" % number] = gaps(rng.normal(100 * number, 10 + number, rows)
                                             .round(2), 0.1 if number % 3 == 0 else 0.0)
    for number in range(4):
        columns["word_%d" % number] = gaps(_WORDS[rng.integers(0, 3 + number, rows)],
                                           0.02 if number % 2 else 0.0)
    for number in range(2):
        columns["flag_%d" % number] = pa.array(rng.uniform(size=rows) < 0.3)
    columns["code"] = pa.array(rng.integers(1, 6, rows))
    columns["tenure"] = pa.array(rng.integers(1, 73, rows).astype(np.int32))
    columns[LABEL] = pa.array(np.where(rng.uniform(size=rows) < 0.27, "yes", "no"))
    return pa.table(columns)


def write_table(path, rows, seed=0):
    """Write the generated table of ``rows`` rows to ``path`` in chunks, in little memory."""
    import pyarrow.parquet as pq

    rng = np.random.default_rng(seed)
    writer = None
    try:
        for start in range(0, rows, CHUNK):
            chunk = _chunk(min(CHUNK, rows - start), rng)
            if writer is None:
                writer = pq.ParquetWriter(path, chunk.schema)
            writer.write_table(chunk)
    finally:
        if writer is not None:
            writer.close()


# Runs the command given as its arguments and prints its exit status and peak RSS.
# A child's peak RSS counts the memory of the process it was forked from, so the
# command is started from this small process rather than from the benchmark,
# which holds a table of its own.
_MEASURE = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)
"""


def write_wide(path, columns, rows, seed=0):
    """A table of ``columns`` features (seven in ten floats, two whole numbers, one text)
    and a label, as Parquet or CSV by the name of ``path``."""
    import pyarrow as pa
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    rng = np.random.default_rng(seed)
    data = {}
    for number in range(columns):
        kind = number % 10
        if kind < 7:
            data["f%d" % number] = pa.array(rng.normal(number, 1 + kind, rows).round(3))
        elif kind < 9:
            data["i%d" % number] = pa.array(rng.integers(0, 100, rows))
        else:
            data["t%d" % number] = pa.array(_WORDS[rng.integers(0, 5, rows)])
    data[LABEL] = pa.array(np.where(rng.uniform(size=rows) < 0.27, "yes", "no"))
    table = pa.table(data)
    if path.endswith(".parquet"):
        pq.write_table(table, path)
    else:
        pa_csv.write_csv(table, path)


def run_command(path, engine, output, categorical=("code",)):
    """(seconds, peak RSS in MiB, error text) of `veltra-explain stats` in its own process."""
    package_root = os.path.dirname(os.path.dirname(veltra_utils.__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    command = [sys.executable, "-m", "veltra_utils.explainability", "stats", "--train", path,
               "--label", LABEL, "--engine", engine, "-o", output]
    for name in categorical:
        command += ["--categorical", name]
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURE] + command, env=env,
                          capture_output=True, text=True)
    seconds = time.perf_counter() - start
    try:
        status, peak_kib = (int(word) for word in done.stdout.split())
    except ValueError:
        status, peak_kib = done.returncode or 1, 0
    failed = None if status == 0 else \
        (done.stderr.strip().splitlines() or ["exit status %d" % status])[-1]
    return seconds, peak_kib / 1024, failed


def _same(left, right, rel=1e-9):
    if isinstance(left, dict):
        return isinstance(right, dict) and left.keys() == right.keys() and all(
            key == "sha256" or _same(left[key], right[key], rel) for key in left)
    if isinstance(left, list):
        return isinstance(right, list) and len(left) == len(right) and all(
            _same(a, b, rel) for a, b in zip(left, right))
    if isinstance(left, float) and isinstance(right, float):
        return math.isclose(left, right, rel_tol=rel)
    return type(left) is type(right) and left == right


def check_equal(folder):
    """Whether DuckDB and pandas give the same statistics of a CHECK_ROWS-row table."""
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    path = os.path.join(folder, "check.parquet")
    write_table(path, CHECK_ROWS, seed=1)
    results = [TrainingStats.from_files(path, LABEL, categorical_columns=["code"],
                                        discretizer=discretizer, engine=engine).to_dict()
               for discretizer in ("quartile", "decile") for engine in ("duckdb", "pandas")]
    return _same(results[0], results[1]) and _same(results[2], results[3])


def _sizes():
    text = os.environ.get("VELTRA_BENCH_STATS_ROWS")
    return [int(part) for part in text.split(",")] if text else list(SIZES)


def run():
    print("Training statistics of a 20-column Parquet file (the stats command, own process)")
    engines = os.environ.get("VELTRA_BENCH_STATS_ENGINES", "duckdb,pandas").split(",")
    with tempfile.TemporaryDirectory(prefix="veltra-bench-stats-") as folder:
        same = check_equal(folder)
        print("  DuckDB statistics equal the pandas ones on %d rows (quartile and decile): %s"
              % (CHECK_ROWS, "MET" if same else "MISSED"))
        print("  %10s  %-7s %9s %11s   %s" % ("rows", "engine", "seconds", "peak MiB", "goal"))
        for rows in _sizes():
            path = os.path.join(folder, "train.parquet")
            write_table(path, rows)
            figures = {engine: run_command(path, engine, os.path.join(folder, "stats.json"))
                       for engine in engines}
            for engine in engines:
                seconds, peak, failed = figures[engine]
                if failed:
                    print("  %10d  %-7s failed: %s" % (rows, engine, failed[:100]))
                    continue
                goal = ""
                if engine == "duckdb":
                    goal = "RSS < %d MiB: %s" % (RSS_GOAL_MIB,
                                                 "MET" if peak < RSS_GOAL_MIB else "MISSED")
                    pandas = figures.get("pandas")
                    if pandas and not pandas[2]:
                        goal += "; time <= pandas (%.1f s): %s" % (
                            pandas[0], "MET" if seconds <= pandas[0] else "MISSED")
                print("  %10d  %-7s %9.1f %11.0f   %s" % (rows, engine, seconds, peak, goal))
            os.remove(path)
    print()
    run_wide(engines)


def _widths():
    text = os.environ.get("VELTRA_BENCH_STATS_WIDTHS")
    if text:
        wanted = [int(part) for part in text.split(",")]
        rows = dict(WIDTHS)
        return [(width, rows.get(width, 100_000)) for width in wanted]
    if os.environ.get("VELTRA_BENCH_QUICK", "") not in ("", "0"):
        return [(width, rows) for width, rows in WIDTHS if width <= 300]
    return list(WIDTHS)


def run_wide(engines=("duckdb", "pandas")):
    print("Training statistics against the width of the table (the stats command, own process)")
    print("  %6s %8s %-8s %-7s %9s %9s   %s" % ("width", "rows", "form", "engine", "seconds",
                                               "peak MiB", "goal"))
    with tempfile.TemporaryDirectory(prefix="veltra-bench-wide-") as folder:
        for width, rows in _widths():
            for form in ("parquet", "csv"):
                path = os.path.join(folder, "wide." + form)
                write_wide(path, width, rows)
                figures = {engine: run_command(path, engine, os.path.join(folder, "stats.json"),
                                               categorical=())
                           for engine in engines}
                os.remove(path)
                for engine in engines:
                    seconds, peak, failed = figures[engine]
                    if failed:
                        print("  %6d %8d %-8s %-7s failed: %s" % (width, rows, form, engine,
                                                                 failed[:100]))
                        continue
                    goal = ""
                    pandas = figures.get("pandas")
                    if engine == "duckdb" and width >= 5_000:
                        goal = "under %d minutes: %s" % (
                            WIDE_MINUTES_GOAL,
                            "MET" if seconds < 60 * WIDE_MINUTES_GOAL else "MISSED")
                    elif engine == "duckdb" and pandas and not pandas[2]:
                        goal = "%.2fx pandas" % (seconds / pandas[0])
                        if width >= 1_000:
                            goal += " (goal < %.0fx): %s" % (
                                WIDE_RATIO_GOAL,
                                "MET" if seconds < WIDE_RATIO_GOAL * pandas[0] else "MISSED")
                    print("  %6d %8d %-8s %-7s %9.1f %9.0f   %s" % (width, rows, form, engine,
                                                                   seconds, peak, goal))


if __name__ == "__main__":
    run()
