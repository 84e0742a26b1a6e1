"""The demo that ``make demo`` runs explains every record and prints each response."""
from veltra_utils.explainability import demo


def test_demo_explains_both_data_sets(capsys):
    assert demo.main() == 0
    out = capsys.readouterr().out
    assert out.count("\nRecord ") == len(demo.CHURN_RECORDS) + 1 + 3
    assert out.count(": prediction ") == len(demo.CHURN_RECORDS) + 3
    assert out.count("; otherwise ") == len(demo.CHURN_RECORDS)
    assert out.count("  record: ") == len(demo.CHURN_RECORDS) + 1 + 3
    assert out.count("FAILED (KTRES1001E)") == 1 and "'enterprise'" in out
