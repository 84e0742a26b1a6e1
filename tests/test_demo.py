"""The demo that ``make demo`` runs explains every record and prints each response."""
from veltra_utils.explainability import demo


def test_demo_explains_both_data_sets(capsys):
    assert demo.main() == 0
    out = capsys.readouterr().out
    assert out.count("\nRecord ") == len(demo.CHURN_RECORDS) + 1 + 3
    assert out.count("  prediction: ") == len(demo.CHURN_RECORDS) + 3
    assert out.count("complementary label: ") == len(demo.CHURN_RECORDS)
    assert out.count("error KTRES1001E") == 1 and "'enterprise'" in out


def test_feature_conditions_read_like_the_ranges():
    assert demo.describe({"feature_name": "plan", "is_categorical": True,
                          "feature_value": "basic"}) == "plan = basic"
    assert demo.describe({"feature_name": "s5", "feature_range": {"min": -0.0, "max": 0.03}}) \
        == "0 < s5 <= 0.03"
    assert demo.describe({"feature_name": "tenure", "feature_range": {"min": None, "max": 19.0}}) \
        == "tenure <= 19"
    assert demo.describe({"feature_name": "calls", "feature_range": {"min": 2.0, "max": None}}) \
        == "calls > 2"
