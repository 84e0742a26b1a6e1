"""Synthetic but realistic workloads shared by the benchmarks: a mixed-type
training frame (text categories, integer and floating columns), its
statistics, and a LIME-shaped perturbed batch."""
import numpy as np
import pandas as pd

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.entity.training_stats import TrainingStats

WORDS = ["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"]


def mixed_frame(rows=2000, per_kind=10, classes=2, seed=0):
    """`per_kind` categorical, integer and floating columns each, plus a label."""
    rng = np.random.default_rng(seed)
    columns = {}
    for i in range(per_kind):
        columns["cat_%d" % i] = rng.choice(WORDS[: 5 + i % 4], size=rows)
        columns["int_%d" % i] = rng.integers(0, 100 * (i + 1), size=rows)
        columns["num_%d" % i] = rng.normal(i, 1 + i, size=rows)
    frame = pd.DataFrame(columns)
    score = frame["num_0"] + (frame["cat_0"] == "alpha") * 2 + frame["int_0"] / 50
    frame["label"] = pd.qcut(score, classes, labels=False).astype(int)
    return frame


def mixed_config(frame, problem_type=ProblemType.BINARY, perturbations=5000):
    categorical = [c for c in frame.columns if c.startswith("cat_")]
    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=categorical,
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


def precomputed_scores(rows, classes, seed=2):
    """A scoring result as a model would give it: labels and probability rows."""
    rng = np.random.default_rng(seed)
    probabilities = rng.dirichlet(np.ones(classes), size=rows)
    predictions = probabilities.argmax(axis=1).tolist()
    return predictions, probabilities.tolist()


def train_pipeline(frame):
    """A realistic model for the mixed frame: one-hot categories, scaled numbers, logistic regression."""
    from sklearn.compose import ColumnTransformer
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import OneHotEncoder, StandardScaler

    features = frame.drop(columns="label")
    categorical = [c for c in features.columns if c.startswith("cat_")]
    numeric = [c for c in features.columns if c not in categorical]
    model = make_pipeline(
        ColumnTransformer([("categories", OneHotEncoder(handle_unknown="ignore"), categorical),
                           ("numbers", StandardScaler(), numeric)]),
        LogisticRegression(max_iter=500))
    return model.fit(features, frame["label"])


def pipeline_scoring(model, feature_columns):
    """The scoring function a host writes for the explainer: rows in, plain lists out."""
    def score(rows):
        frame = pd.DataFrame(rows, columns=feature_columns)
        probabilities = model.predict_proba(frame)
        return model.classes_[probabilities.argmax(axis=1)].tolist(), probabilities.tolist()
    return score


def scored_records(frame, model, count):
    """The first `count` rows as scored records: features plus prediction and probabilities."""
    features = frame.drop(columns="label").iloc[:count]
    probabilities = model.predict_proba(features)
    records = []
    for (_, row), probs in zip(features.iterrows(), probabilities):
        record = {name: value.item() if hasattr(value, "item") else value for name, value in row.items()}
        record["prediction"] = model.classes_[probs.argmax()].item()
        # The whole probability vector: the explainer then explains the predicted class only.
        record["probability"] = probs.tolist()
        records.append(record)
    return records
