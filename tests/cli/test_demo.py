"""The demo that ``make demo`` runs: the command line on generated data, with a report."""
import os
import sys

from veltra_utils.explainability import demo


def test_demo_runs_the_command_line_and_writes_the_report(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert demo.main([str(tmp_path / "inputs")]) == 0
    out = capsys.readouterr().out
    assert out.count("$ veltra-explain ") == 2
    assert out.count(": prediction ") == len(demo.CUSTOMERS)
    assert "FAILED" not in out and "plan = enterprise (new)" in out
    assert "Explained 4 of 4 records, 0 failed" in out
    assert (tmp_path / demo.REPORT).read_text().startswith("<!DOCTYPE html>")
    assert "never held, on purpose" in out
    # the user is told how to reach the command this environment installed
    bin_folder = os.path.dirname(sys.executable)
    assert "source {0}".format(os.path.join(bin_folder, "activate")) in out
    assert os.path.join(bin_folder, "veltra-explain") in out
    assert out.rstrip().endswith("--report report.html")
