"""The command's walls. Paths that are not what they seem: outputs that are devices, pipes
or inputs under another name, inputs that are devices or look like glob patterns, files a
killed run left. Models that crash or exhaust memory, which run in worker processes."""
import json
import os
import stat
import threading

import pytest
import test_cli

from veltra_utils.explainability.cli import main
from veltra_utils.explainability.statistics.training_stats import TrainingStats

# The command's fixture and helper, shared with its other tests.
work = test_cli.work
_explain = test_cli._explain

# AddressSanitizer's runtime ends a process that crashes or fails to allocate with its own
# report and exit status, and holds freed memory on purpose: these tests need the real ones.
NOT_SANITIZED = pytest.mark.skipif(bool(os.environ.get("VELTRA_SANITIZED")),
                                   reason="the sanitizer changes how crashes, failed "
                                          "allocations and memory use look")


def _stats(folder, train, output):
    return main(["stats", "--train", str(train), "--label", "churn", "-o", str(output)])


def test_an_output_that_is_a_pipe_is_written_into_never_replaced(work, tmp_path, capsys):
    folder = work[0]
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    received = []
    reader = threading.Thread(target=lambda: received.append(pipe.read_bytes()), daemon=True)
    reader.start()
    assert _stats(folder, folder / "train.csv", pipe) == 0
    reader.join(10)
    assert stat.S_ISFIFO(os.stat(pipe).st_mode)  # still the pipe
    assert received and received[0].startswith(b"{")


@pytest.mark.parametrize("what", ["model", "stats", "records"])
def test_an_input_that_is_a_device_is_refused_in_one_line(work, capsys, what):
    folder = work[0]
    paths = {"model": folder / "model.skops", "stats": folder / "stats.json",
             "records": folder / "records.csv"}
    paths[what] = "/dev/zero"  # read as a file, it would never end
    status = main(["explain", "--stats", str(paths["stats"]), "--model", str(paths["model"]),
                   "--records", str(paths["records"])])
    error = capsys.readouterr().err
    assert status == 2 and "/dev/zero is not a regular file" in error
    assert len(error.strip().splitlines()) == 1


def test_outputs_never_overwrite_inputs_or_each_other(work, tmp_path, capsys):
    folder = work[0]
    parts = tmp_path / "parts"
    parts.mkdir()
    for name in ("a.csv", "b.csv"):
        (parts / name).write_bytes((folder / "train.csv").read_bytes())
    before = (parts / "b.csv").read_bytes()
    assert _stats(folder, str(parts / "*.csv"), parts / "b.csv") == 2  # one of the glob's files
    assert "is the training data file" in capsys.readouterr().err
    assert (parts / "b.csv").read_bytes() == before
    same = tmp_path / "out.json"
    assert _explain(work, "--output", str(same), "--report", str(same)) == 2
    assert "name the same file" in capsys.readouterr().err and not same.exists()


def test_a_killed_runs_temporary_files_are_removed(work, tmp_path):
    folder = work[0]
    stale = tmp_path / ".veltra-999999999-abc.tmp"  # no process has that number
    running = tmp_path / ".veltra-1-abc.tmp"        # a process that still runs
    stale.write_text("half")
    running.write_text("half")
    assert _stats(folder, folder / "train.csv", tmp_path / "stats.json") == 0
    assert not stale.exists() and running.exists()
    assert sorted(path.name for path in tmp_path.iterdir()) == [running.name, "stats.json"]


@pytest.fixture(scope="module")
def spark(monkeypatch_module):
    from conftest import spark_test_session

    session = spark_test_session(monkeypatch_module)
    yield session
    session.stop()


@pytest.mark.parametrize("engine", ["duckdb", "pandas", "spark"])
def test_a_file_whose_name_looks_like_a_glob_is_read_as_itself(tmp_path, request, engine):
    (tmp_path / "tr[1].csv").write_text("x,y\n1,a\n2,b\n3,a\n")
    (tmp_path / "tr1.csv").write_text("x,y\n" + "5,a\n6,b\n" * 10)  # what the glob would match
    if engine == "spark":
        stats = TrainingStats.from_files(str(tmp_path / "tr[1].csv"), "y", engine="spark",
                                         spark=request.getfixturevalue("spark"))
    else:
        stats = TrainingStats.from_files(tmp_path / "tr[1].csv", "y", engine=engine)
    assert stats.row_count == 3


@NOT_SANITIZED
@pytest.mark.parametrize("how, always, message", [
    # On the marked record only: that record fails, the others are explained (exit 1).
    ("crash", False, "ended by SIGSEGV"),
    ("hog", False, "Unable to allocate 3.00 GiB"),
    # On every row: the trial refuses the model in one line before any record (exit 2).
    ("crash", True, "the model process ended by SIGSEGV"),
    ("hog", True, "needed more memory than the limit of 1.0 GiB (--max-memory)"),
])
def test_a_model_that_crashes_or_exhausts_memory_is_walled_off(work, capsys, how, always,
                                                             message):
    import joblib

    from hostile_models import MARKED_INCOME, Misbehaving

    folder, train, model = work
    joblib.dump(Misbehaving(model, how, always=always), folder / "misbehaving.joblib")
    records = train[["row", "income", 'plan <"&">']].head(3).copy()
    records.loc[1, "income"] = MARKED_INCOME
    records.to_csv(folder / "marked.csv", index=False)
    capsys.readouterr()
    status = _explain(work, "--trust-pickle", "--max-memory", "1GiB", records="marked.csv",
                      model="misbehaving.joblib")  # one worker, even without --workers
    captured = capsys.readouterr()
    if always:
        assert status == 2 and captured.out == "" and message in captured.err
        assert len(captured.err.strip().splitlines()) == 1
        return
    documents = [line for line in captured.out.splitlines() if line.strip()]
    assert status == 1 and ['"error"' in line for line in documents] == [False, True, False]
    assert message in documents[1]


@NOT_SANITIZED
def test_sigterm_ends_a_long_duckdb_query_within_two_seconds(tmp_path):
    import signal
    import subprocess
    import sys
    import time

    path = tmp_path / "wide.csv"  # DuckDB works on the statistics of 5,000 columns a while
    columns = ["c{0}".format(number) for number in range(5000)]
    path.write_text(",".join(columns + ["y"]) + "\n" + "".join(
        ",".join(str((row * 7 + number) % 13) for number in range(5000)) + ",{0}\n".format(row % 2)
        for row in range(20)))
    command = subprocess.Popen([sys.executable, "-m", "veltra_utils.explainability", "stats",
                                "--train", str(path), "--label", "y", "-o",
                                str(tmp_path / "stats.json")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        time.sleep(4)
        assert command.poll() is None, "the statistics finished before the signal came"
        sent = time.monotonic()
        command.send_signal(signal.SIGTERM)
        assert command.wait(10) == 143
        assert time.monotonic() - sent < 2.5
    finally:
        command.kill()
        command.wait()


@NOT_SANITIZED
def test_chosen_rows_of_a_huge_parquet_file_are_read_alone(work, tmp_path, capsys):
    # Ten million rows of one repeated record: kilobytes on disk, gigabytes in memory.
    pyarrow = pytest.importorskip("pyarrow")
    import resource

    import pyarrow.parquet as pq

    folder, train, _ = work
    record = train[["row", "income", 'plan <"&">']].iloc[[0]]
    chunk = pyarrow.Table.from_pandas(record.loc[record.index.repeat(1 << 20)],
                                      preserve_index=False)  # written a million rows at a time
    path = tmp_path / "huge.parquet"
    with pq.ParquetWriter(path, chunk.schema) as writer:
        for _ in range(10):
            writer.write_table(chunk, row_group_size=1 << 22)
    assert path.stat().st_size < 1 << 20 and pq.ParquetFile(path).metadata.num_rows == 10 << 20
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    capsys.readouterr()
    assert _explain(work, "--rows", "0,10485759", "--key", "row", "--output",
                    str(tmp_path / "out.jsonl"), records=str(path)) == 0
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before  # KiB
    assert grown < 300 * 1024, "reading two rows took {0} MiB".format(grown // 1024)
    lines = (tmp_path / "out.jsonl").read_text().splitlines()
    assert [json.loads(line)["_row"] for line in lines] == [0, 10485759]


@NOT_SANITIZED
def test_an_onnx_graph_that_asks_for_twelve_gigabytes_is_refused_within_the_limit():
    pytest.importorskip("onnxruntime")
    from churn_batch import churn
    from hostile_models import OnnxBomb
    from veltra_utils.explainability.running.batch import try_model

    reason = try_model(OnnxBomb(), churn().config, memory_limit=512 << 20, timeout=60)
    assert reason is not None and ("memory" in reason or "alloc" in reason.lower()), reason
