"""A generated customer-churn table of mixed column types, and the model usually fitted on it.

The demo, the tests and the benchmarks all need a table that looks like a
host's training data: text categories, whole numbers of two integer widths, a
money column and a label that really depends on them, so that explanations have
something to find. ``churn_table`` makes it from a row count and a seed;
``churn_pipeline`` builds the one-hot encoding and logistic-regression pipeline
a user would write for it, and ``churn_model`` fits that pipeline.
"""
from typing import Any, List

import numpy as np
import pandas as pd
from sklearn.compose import ColumnTransformer
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import Pipeline, make_pipeline
from sklearn.preprocessing import OneHotEncoder, StandardScaler

LABEL = "churn"
PLANS = ("basic", "standard", "premium")
REGIONS = ("north", "south", "east", "west")
_WORDS = ("alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel")


def churn_table(rows: int = 1000, seed: int = 0, extra_columns: int = 0) -> pd.DataFrame:
    """A customer table with a churn label, the same for the same arguments.

    Columns, in this order:

    - ``plan`` (text: basic, standard, premium) and ``region`` (text: north,
      south, east, west);
    - ``tenure_months`` (int32, 1 to 72) and ``support_calls`` (int64, 0 or
      more; about two customers in five never call, so the smallest value holds
      a large share of the rows);
    - ``monthly_charge`` (float64, two decimals, higher for the dearer plans);
    - ``extra_columns`` further columns of no influence on the label, as a wide
      production table holds, taking the kinds text, integer and float in turn:
      ``extra_text_<n>`` (3 to 8 words), ``extra_int_<n>`` (int64) and
      ``extra_float_<n>``;
    - ``churn``, the label, "yes" or "no": drawn from a logistic model in which
      support calls, the basic plan, the south region and the charge raise the
      odds of churning and tenure lowers them.
    """
    if extra_columns < 0:
        raise ValueError("extra_columns must not be negative, not {0!r}".format(extra_columns))
    rng = np.random.default_rng(seed)
    plan = rng.choice(PLANS, rows, p=[0.5, 0.3, 0.2])
    region = rng.choice(REGIONS, rows, p=[0.3, 0.3, 0.2, 0.2])
    tenure = rng.integers(1, 73, rows).astype(np.int32)
    calls = np.where(rng.uniform(size=rows) < 0.3, 0, rng.poisson(1.8, rows)).astype(np.int64)
    charge = np.round(rng.normal(45, 10, rows) + np.where(plan == "standard", 15, 0)
                      + np.where(plan == "premium", 40, 0), 2)
    logit = (-0.5 + 0.8 * calls - 0.06 * tenure + np.where(plan == "basic", 1.0, 0.0)
             + np.where(region == "south", 0.6, 0.0) + 0.02 * (charge - 55))
    churned = rng.uniform(size=rows) < 1 / (1 + np.exp(-logit))

    columns = {"plan": plan, "region": region, "tenure_months": tenure,
               "support_calls": calls, "monthly_charge": charge}
    for position in range(extra_columns):
        number, kind = divmod(position, 3)
        if kind == 0:
            columns["extra_text_%d" % number] = rng.choice(_WORDS[:3 + number % 6], rows)
        elif kind == 1:
            columns["extra_int_%d" % number] = rng.integers(0, 100 * (number + 1), rows)
        else:
            columns["extra_float_%d" % number] = rng.normal(number, 1 + number, rows)
    columns[LABEL] = np.where(churned, "yes", "no")
    return pd.DataFrame(columns)


def text_columns(frame: pd.DataFrame) -> List[Any]:
    """The columns of ``frame`` holding text, other than the label: the categorical features."""
    return [name for name in frame.columns
            if name != LABEL and (pd.api.types.is_object_dtype(frame[name])
                                  or pd.api.types.is_string_dtype(frame[name]))]


def churn_pipeline(features: pd.DataFrame) -> Pipeline:
    """An unfitted pipeline for ``features``: text columns one-hot encoded (categories
    unseen in training encode as all zeros), the other columns standardised, then a
    logistic regression."""
    categorical = text_columns(features)
    numeric = [name for name in features.columns if name not in categorical]
    encode = ColumnTransformer([
        ("categories", OneHotEncoder(handle_unknown="ignore"), categorical),
        ("numbers", StandardScaler(), numeric),
    ])
    return make_pipeline(encode, LogisticRegression(max_iter=1000))


def churn_model(features: pd.DataFrame, labels: Any) -> Pipeline:
    """``churn_pipeline(features)`` fitted on ``features`` and ``labels``."""
    return churn_pipeline(features).fit(features, labels)
