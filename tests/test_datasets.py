"""The generated churn table: reproducible, of the documented column kinds, and with a label
the features really explain."""
import pandas as pd
import pytest

from veltra_utils.explainability.datasets import LABEL, PLANS, REGIONS, churn_model, churn_table, text_columns

BASE_KINDS = {"plan": "text", "region": "text", "tenure_months": "int32",
              "support_calls": "int64", "monthly_charge": "float64"}


def kind(column):
    return "text" if pd.api.types.is_string_dtype(column) else str(column.dtype)


@pytest.mark.parametrize("extra_columns", [0, 7])
def test_same_seed_same_table_of_the_documented_kinds(extra_columns):
    table = churn_table(300, seed=5, extra_columns=extra_columns)
    pd.testing.assert_frame_equal(table, churn_table(300, seed=5, extra_columns=extra_columns))
    assert not table.equals(churn_table(300, seed=6, extra_columns=extra_columns))

    names = list(table.columns)
    assert names[:5] == list(BASE_KINDS) and names[-1] == LABEL
    assert len(names) == 5 + extra_columns + 1
    kinds = {name: kind(table[name]) for name in names[:-1]}
    extra = {name: ("text" if "text" in name else "int64" if "int" in name else "float64")
             for name in names[5:-1]}
    assert kinds == {**BASE_KINDS, **extra}
    assert [name for name in names if kinds.get(name) == "text"] == text_columns(table)
    assert set(table.plan) == set(PLANS) and set(table.region) == set(REGIONS)
    assert table.tenure_months.between(1, 72).all() and (table.support_calls >= 0).all()
    assert (table.monthly_charge.round(2) == table.monthly_charge).all()
    assert set(table[LABEL]) == {"yes", "no"}


def test_the_label_follows_the_features_and_the_model_finds_it():
    table = churn_table(2000, seed=1)
    features = table.drop(columns=LABEL)
    model = churn_model(features, table[LABEL])
    assert model.score(features, table[LABEL]) > 0.75
    customers = pd.DataFrame({"plan": ["basic", "premium"], "region": ["south", "north"],
                              "tenure_months": [2, 60], "support_calls": [5, 0],
                              "monthly_charge": [50.0, 90.0]})
    yes = list(model.classes_).index("yes")
    risky, loyal = model.predict_proba(customers)[:, yes]
    assert risky > 0.9 and loyal < 0.1
    # A plan the training data never held encodes as no plan at all instead of failing.
    assert model.predict_proba(customers.assign(plan="enterprise")).shape == (2, 2)


def test_negative_extra_columns_are_refused():
    with pytest.raises(ValueError, match="extra_columns"):
        churn_table(10, extra_columns=-1)
