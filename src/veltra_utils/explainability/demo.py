"""Explain records of two real models from their training statistics and print the responses.

    python -m veltra_utils.explainability.demo

1. Customer churn: the generated customer table of ``datasets.churn_table``,
   with text columns (plan, region), whole-number columns (tenure, support
   calls) and a monthly charge; a one-hot encoding and logistic-regression
   pipeline predicts churn.
2. Diabetes progression: scikit-learn's diabetes data; a ridge regression
   predicts the disease progression one year after baseline.

Each model is trained, its training statistics are computed, and from then on
only the statistics are used: every record is explained by LIME sampling
around the statistics and scoring through the model. The last churn record has
a plan the training data never held and shows the error response.
"""
import sys
import time

from sklearn.datasets import load_diabetes
from sklearn.linear_model import Ridge

from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table, text_columns
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.entity.training_stats import TrainingStats
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.report import format_table
from veltra_utils.explainability.scoring import scoring_function

PERTURBATIONS = 2000
TOP_FEATURES = 5

CHURN_RECORDS = [
    {"plan": "basic", "region": "south", "tenure_months": 2, "support_calls": 5,
     "monthly_charge": 64.90},
    {"plan": "premium", "region": "north", "tenure_months": 58, "support_calls": 0,
     "monthly_charge": 92.50},
    {"plan": "standard", "region": "east", "tenure_months": 14, "support_calls": 2,
     "monthly_charge": 55.00},
]
UNSEEN_PLAN = {"plan": "enterprise", "region": "west", "tenure_months": 30, "support_calls": 1,
               "monthly_charge": 120.00}


def scored(record, score):
    """The record with the model's prediction and the probability of that prediction."""
    predictions, probabilities = score([list(record.values())])
    result = dict(record, prediction=predictions[0])
    if probabilities is not None:
        result["probability"] = max(probabilities[0])
    return result


def explain_records(title, explainer, score, records):
    print("\n" + title)
    print("=" * len(title))
    for number, record in enumerate(records, start=1):
        features = {name: value for name, value in record.items()
                    if name not in ("prediction", "probability")}
        print("\n" + format_table("Record {0}".format(number), explainer.explain(record, score),
                                  features, show_record=True), end="")


def churn_demo():
    table = churn_table(rows=1200, seed=42)
    model = churn_model(table.drop(columns=LABEL), table[LABEL])
    stats = TrainingStats.from_dataframe(table, label_column=LABEL,
                                         categorical_columns=text_columns(table))
    config = ExplainConfig(training_stats=stats, features_count=TOP_FEATURES,
                           perturbations_count=PERTURBATIONS)
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels, schema=stats.schema)
    records = [scored(record, score) for record in CHURN_RECORDS]
    # A plan the model never saw: the record is refused and explain answers with an error.
    records.append(dict(UNSEEN_PLAN, prediction="no", probability=0.5))
    explain_records("Customer churn: one-hot + logistic regression, {0} customers, {1} problem"
                    .format(stats.row_count, stats.problem_type.value),
                    LimeTabularExplainer(config), score, records)
    return len(records)


def diabetes_demo():
    data = load_diabetes(as_frame=True)
    train, held_out = data.frame.iloc[:400], data.frame.iloc[400:]
    feature_columns = list(data.feature_names)
    model = Ridge(alpha=0.1).fit(train[feature_columns], train["target"])
    stats = TrainingStats.from_dataframe(train, label_column="target",
                                         problem_type=ProblemType.REGRESSION)
    config = ExplainConfig(training_stats=stats, features_count=TOP_FEATURES,
                           perturbations_count=PERTURBATIONS)
    score = scoring_function(model, stats.feature_columns, stats.problem_type, schema=stats.schema)
    records = [scored(held_out[feature_columns].iloc[position].to_dict(), score)
               for position in (0, 15, 30)]
    explain_records("Diabetes progression: ridge regression, {0} training patients, "
                    "records held out from training".format(stats.row_count),
                    LimeTabularExplainer(config), score, records)
    return len(records)


def main():
    started = time.perf_counter()
    count = churn_demo() + diabetes_demo()
    print("\nExplained {0} records ({1} LIME samples each) in {2:.1f} s."
          .format(count, PERTURBATIONS, time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
