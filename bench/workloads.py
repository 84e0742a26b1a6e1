"""Synthetic but realistic workloads shared by the benchmarks: the package's
generated churn table widened to 30 feature columns (text categories, integer
and floating columns), its statistics, and a LIME-shaped perturbed batch."""
import numpy as np
import pandas as pd

from veltra_utils.explainability.datasets import LABEL, churn_table, text_columns
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.statistics.training_stats import TrainingStats

_WORDS = ("alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel")

# The churn table's five columns plus these make the 30 feature columns the figures quote.
EXTRA_COLUMNS = 25


def wide_frame(rows=2000, seed=0):
    """The churn table with 30 feature columns of every kind, and its label."""
    return churn_table(rows, seed, extra_columns=EXTRA_COLUMNS)


def typed_frame(rows=2000, seed=0, per_kind=10, classes=2):
    """A table of ``per_kind`` float, integer and text columns each, and a label
    drawn from a logistic model of a few of them: "yes"/"no", or for more
    ``classes`` "class_0", "class_1", ... by bands of that model's score."""
    rng = np.random.default_rng(seed)
    columns = {}
    for number in range(per_kind):
        columns["float_%d" % number] = rng.normal(number, 1 + number, rows)
    for number in range(per_kind):
        columns["int_%d" % number] = rng.integers(0, 50 * (number + 1), rows)
    for number in range(per_kind):
        columns["text_%d" % number] = rng.choice(_WORDS[:3 + number % 6], rows)
    logit = (0.8 * columns["float_0"] - 0.3 * columns["float_1"] + 0.04 * (columns["int_0"] - 25)
             + np.where(columns["text_0"] == "alpha", 1.0, -0.5)
             + np.where(columns["text_1"] == "bravo", 0.7, 0.0))
    if classes == 2:
        columns[LABEL] = np.where(rng.uniform(size=rows) < 1 / (1 + np.exp(-logit)), "yes", "no")
    else:
        noisy = logit + rng.logistic(size=rows)
        bands = np.quantile(noisy, np.linspace(0, 1, classes + 1)[1:-1])
        columns[LABEL] = np.array(["class_%d" % band for band in np.searchsorted(bands, noisy)])
    return pd.DataFrame(columns)


def mixed_config(frame, problem_type=ProblemType.BINARY, perturbations=5000):
    stats = TrainingStats.from_dataframe(frame, LABEL, categorical_columns=text_columns(frame),
                                         problem_type=problem_type)
    return ExplainConfig(training_stats=stats, problem_type=problem_type, perturbations_count=perturbations)


def perturbed_batch(config, rows=5000, seed=1):
    """What LIME hands the adapter: float64 rows, codes in categorical columns."""
    rng = np.random.default_rng(seed)
    stats = config.training_stats
    batch = rng.normal(50.0, 20.0, size=(rows, len(config.feature_columns)))
    for position in stats.cat_col_indexes:
        batch[:, position] = rng.integers(0, len(stats.cat_cols_encoding_map[position]), size=rows)
    return batch


def precomputed_scores(rows, labels, seed=2):
    """A scoring result as a model would give it: one of ``labels`` and a probability row each."""
    rng = np.random.default_rng(seed)
    labels = list(labels)
    probabilities = rng.dirichlet(np.ones(len(labels)), size=rows)
    predictions = [labels[index] for index in probabilities.argmax(axis=1)]
    return predictions, probabilities.tolist()


def pipeline_scoring(model, feature_columns):
    """The scoring function a host writes for the explainer: rows in, plain lists out."""
    def score(rows):
        frame = pd.DataFrame(rows, columns=feature_columns)
        probabilities = model.predict_proba(frame)
        return model.classes_[probabilities.argmax(axis=1)].tolist(), probabilities.tolist()
    return score


def scored_records(frame, model, count, vector=True):
    """The first `count` rows as scored records: features plus prediction and probabilities
    (with ``vector=False`` only the prediction's probability, as a host usually passes it)."""
    features = frame.drop(columns=LABEL).iloc[:count]
    probabilities = model.predict_proba(features)
    records = []
    for (_, row), probs in zip(features.iterrows(), probabilities):
        record = {name: value.item() if hasattr(value, "item") else value for name, value in row.items()}
        prediction = model.classes_[probs.argmax()]
        record["prediction"] = prediction.item() if hasattr(prediction, "item") else prediction
        # The whole probability vector: the explainer then explains the predicted class only.
        record["probability"] = probs.tolist() if vector else float(probs.max())
        records.append(record)
    return records


# The three model sizes the throughput figures quote, each behind the churn
# pipeline's encoding: a linear model, a forest, and boosted trees.
MODEL_KINDS = ("logistic regression", "random forest (100 trees)", "gradient boosting")


def churn_frame(features, rows=2000, seed=0):
    """The churn table with ``features`` feature columns (at least its own five), and its label."""
    return churn_table(rows, seed, extra_columns=features - 5)


def fitted_model(kind, frame):
    """One of MODEL_KINDS fitted on ``frame``: the churn pipeline with that final estimator.

    The tree models get the encoding as a dense array, which gradient boosting
    needs and a forest predicts from faster."""
    from sklearn.ensemble import HistGradientBoostingClassifier, RandomForestClassifier

    from veltra_utils.explainability.datasets import churn_pipeline

    features, labels = frame.drop(columns=LABEL), frame[LABEL]
    pipeline = churn_pipeline(features)
    if kind == MODEL_KINDS[1]:
        pipeline.set_params(columntransformer__sparse_threshold=0.0)
        pipeline.steps[-1] = ("model", RandomForestClassifier(n_estimators=100, random_state=0))
    elif kind == MODEL_KINDS[2]:
        pipeline.set_params(columntransformer__sparse_threshold=0.0)
        pipeline.steps[-1] = ("model", HistGradientBoostingClassifier(random_state=0))
    elif kind != MODEL_KINDS[0]:
        raise ValueError("unknown model kind {0!r}; one of {1}".format(kind, ", ".join(MODEL_KINDS)))
    return pipeline.fit(features, labels)
