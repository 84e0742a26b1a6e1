"""Batches under control: a time limit per record, interrupts, and output that streams.

A record whose model never answers must not hang the batch, an interrupt
must end it promptly, and no worker process may outlive it.
"""
import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time

import joblib
import pytest

import veltra_utils
from churn_batch import churn, records, serial_responses
from hanging_batch import HANG_CHARGE, Hanging, HangingModel, descendants, pids, running
from veltra_utils.explainability.cli import main
from veltra_utils.explainability.running.batch import explain_records, iter_explanations

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # the shared helpers
RECORDS = 6  # the last one hangs in the command-line tests


def error_text(response):
    assert set(response) == {"error"}, response
    assert response["error"]["code"] == "KTRES1001E"
    return response["error"]["message"]


def wait_for(condition, seconds=30.0):
    """Poll until ``condition()`` holds; whether it did within ``seconds``."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def assert_all_ended(processes):
    assert wait_for(lambda: not any(running(pid) for pid in processes), 10.0), \
        [pid for pid in processes if running(pid)]


def _kill_leftovers(folder, also=()):
    # A worker left behind by a failing test would hold up the test run's exit.
    for pid in set(also) | pids(folder):
        if running(pid) and pid != os.getpid():
            os.kill(pid, signal.SIGKILL)


@pytest.fixture
def folder(tmp_path):
    """Where the scoring processes leave their pids."""
    path = tmp_path / "pids"
    path.mkdir()
    yield path
    _kill_leftovers(path)


class TestTimeLimit:
    @pytest.mark.parametrize("workers", [1, 2])
    def test_a_record_over_the_limit_fails_alone_and_its_worker_ends(self, folder, workers):
        problem, serial = churn(), list(serial_responses())
        rows = records()[:6]
        rows[2]["monthly_charge"] = HANG_CHARGE
        responses = explain_records(rows, Hanging(problem.score, folder), problem.config,
                                    workers=workers, timeout=3)
        assert "took longer than 3 seconds" in error_text(responses[2])
        assert responses[:2] + responses[3:] == serial[:2] + serial[3:6]
        # Even one worker is a separate process, which can be stopped.
        assert os.getpid() not in pids(folder) and pids(folder, "hanging")
        assert_all_ended(pids(folder))

    @pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf"), "5", True])
    def test_bad_time_limits_are_refused(self, timeout):
        problem = churn()
        with pytest.raises(ValueError, match="timeout must be a positive number"):
            explain_records(records()[:1], problem.score, problem.config, timeout=timeout)


def test_a_record_workers_cannot_receive_fails_alone():
    problem, serial = churn(), list(serial_responses())
    rows = records()[:3]
    rows[1]["note"] = threading.Lock()  # not a feature, but it travels with the record
    responses = explain_records(rows, problem.score, problem.config, workers=2, timeout=30)
    assert "cannot be sent to a worker process" in error_text(responses[1])
    assert [responses[0], responses[2]] == [serial[0], serial[2]]


@pytest.fixture
def interrupts():
    handler = signal.getsignal(signal.SIGINT)
    yield
    signal.signal(signal.SIGINT, handler)


@pytest.mark.parametrize("how", ["close", "interrupt"])
def test_leaving_a_batch_early_ends_its_workers(folder, interrupts, how):
    problem, serial = churn(), list(serial_responses())
    rows = records()[:4]
    rows[1]["monthly_charge"] = HANG_CHARGE
    stream = iter_explanations(rows, Hanging(problem.score, folder), problem.config, workers=2)
    assert next(stream) == (0, serial[0])
    assert wait_for(lambda: pids(folder, "hanging"))
    if how == "close":
        stream.close()
    else:
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if the run ignores it
        main_thread = threading.main_thread().ident
        threading.Timer(0.2, signal.pthread_kill, (main_thread, signal.SIGINT)).start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            list(stream)
        assert time.monotonic() - started < 30  # a generous bound on "does not hang"
    assert_all_ended(pids(folder))


# ---------------------------------------------------------------- the command line

@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Statistics, a model that hangs on the last record, and the scored records."""
    path = tmp_path_factory.mktemp("control")
    (path / "pids").mkdir()
    problem = churn()
    (path / "stats.json").write_text(json.dumps(problem.config.training_stats.to_dict()))
    joblib.dump(HangingModel(problem.model, path / "pids"), path / "model.joblib")
    frame = problem.frame.head(RECORDS).copy()
    frame.loc[frame.index[-1], "monthly_charge"] = HANG_CHARGE
    frame.to_csv(path / "records.csv", index=False)
    return path


@pytest.fixture
def pid_folder(files):
    folder = files / "pids"
    for name in os.listdir(folder):
        os.remove(folder / name)
    yield folder
    _kill_leftovers(folder)


def arguments(files, *extra):
    return ["explain", "--stats", str(files / "stats.json"), "--model",
            str(files / "model.joblib"), "--trust-pickle", "--records",
            str(files / "records.csv"), "--perturbations", "300", *extra]


@pytest.mark.parametrize("workers", ["1", "2"])
def test_command_line_timeout_prints_the_slow_record_as_an_error(files, pid_folder, capsys,
                                                                 workers):
    capsys.readouterr()
    assert main(arguments(files, "--workers", workers, "--timeout", "2.5")) == 1
    captured = capsys.readouterr()
    documents = [json.loads(line) for line in captured.out.splitlines()]
    assert [document["row"] for document in documents] == list(range(RECORDS))
    assert all("predictions" in document for document in documents[:-1])
    assert "took longer than 2.5 seconds" in documents[-1]["error"]["message"]
    assert "1 of 6 records could not be explained" in captured.err
    assert pids(pid_folder, "hanging")
    assert_all_ended(pids(pid_folder))


@pytest.mark.parametrize("extra, message", [
    (["--engine", "spark", "--timeout", "5"], "--timeout is for the local engine"),
    (["--timeout", "0"], "expected a positive number of seconds, got '0'"),
    (["--timeout", "nan"], "expected a positive number of seconds"),
    (["--timeout", "soon"], "expected a positive number of seconds"),
])
def test_command_line_refuses_bad_time_limits(files, capsys, extra, message):
    capsys.readouterr()
    assert main(arguments(files, *extra)) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1
    assert message in captured.err


def _default_interrupt():
    # Python raises KeyboardInterrupt only if SIGINT was not ignored when it started.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _lines(stream):
    """A queue that receives the stream's lines as they come, from a reader thread."""
    lines = queue.Queue()

    def read():
        for line in stream:
            lines.put(line)
        lines.put(None)

    threading.Thread(target=read, daemon=True).start()
    return lines


@pytest.mark.parametrize("signal_number, status, extra", [
    (signal.SIGINT, 130, ["--workers", "2"]),
    (signal.SIGTERM, 143, ["--workers", "1", "--timeout", "600"]),
    (signal.SIGTERM, 143, ["--workers", "1"]),  # explaining in the command's own process
    pytest.param(signal.SIGKILL, -signal.SIGKILL, ["--workers", "2"],
                 marks=pytest.mark.skipif(not sys.platform.startswith("linux"),
                                          reason="workers follow a killed parent on Linux")),
], ids=["ctrl-c", "sigterm", "sigterm-in-process", "sigkill"])
def test_stopping_the_command_keeps_the_printed_records_and_leaves_no_worker(
        files, pid_folder, signal_number, status, extra):
    # The command runs the package these tests imported (installed, or a build laid over
    # the sources), and its workers unpickle the model, whose class lives beside the tests.
    package_root = os.path.dirname(os.path.dirname(veltra_utils.__file__))
    path = [package_root, TESTS, os.environ.get("PYTHONPATH")]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, path)))
    process = subprocess.Popen(
        [sys.executable, "-m", "veltra_utils.explainability", *arguments(files, *extra)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment,
        preexec_fn=_default_interrupt)
    workers = set()
    try:
        lines = _lines(process.stdout)
        # The records before the hanging one are printed while it still hangs.
        printed = [json.loads(lines.get(timeout=60)) for _ in range(RECORDS - 1)]
        assert [document["row"] for document in printed] == list(range(RECORDS - 1))
        assert all("predictions" in document for document in printed)
        assert wait_for(lambda: pids(pid_folder, "hanging"))
        assert process.poll() is None
        workers |= pids(pid_folder) | descendants(process.pid)
        process.send_signal(signal_number)
        assert process.wait(timeout=30) == status  # a generous bound on "a few seconds"
        assert_all_ended(workers)
        if signal_number != signal.SIGKILL:
            assert process.stderr.read().strip().splitlines()[-1].endswith(
                "interrupted" if signal_number == signal.SIGINT else "terminated")
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        _kill_leftovers(pid_folder, workers)  # they would hold the output pipes open
        process.stdout.close()
        process.stderr.close()
