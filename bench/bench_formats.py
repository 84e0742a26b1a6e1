"""One model as a scikit-learn pipeline and as ONNX: explanation throughput on
one core, and how far ONNX's float32 probabilities move the explanations.

Needs the onnx extra and skl2onnx (both in the test extra); skipped without them.
Sizes come from the command line: python bench/bench_formats.py [records] [samples].
"""
import sys
import time

import numpy as np

from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table, text_columns
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.formats import OnnxModel
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.statistics.training_stats import TrainingStats
from workloads import scored_records

RECORDS = 20
SAMPLES = 5000
TOP = 3


def onnx_bytes(model, features):
    """``model`` converted to ONNX, one named input per column, probabilities as a tensor."""
    from skl2onnx import convert_sklearn
    from skl2onnx.common.data_types import FloatTensorType, Int64TensorType, StringTensorType

    types = []
    for name in features.columns:
        kind = features[name].dtype.kind
        tensor = Int64TensorType if kind in "iu" else FloatTensorType if kind == "f" \
            else StringTensorType
        types.append((name, tensor([None, 1])))
    options = {id(model.steps[-1][1]): {"zipmap": False}}
    return convert_sklearn(model, initial_types=types, options=options,
                           target_opset=17).SerializeToString()


def explain_all(config, records, score):
    """(responses, seconds) of one explainer explaining every record in turn."""
    explainer = LimeTabularExplainer(config)
    start = time.perf_counter()
    responses = [explainer.explain(dict(record), score) for record in records]
    return responses, time.perf_counter() - start


def weights(response):
    return {item["feature_name"]: item["weight"]
            for item in response["predictions"][0]["explanation_features"]}


def compare(reference, other):
    """(records with the same top features in the same order, same set, largest weight gap)."""
    same_order = same_set = 0
    gap = 0.0
    for left, right in zip(reference, other):
        left, right = weights(left), weights(right)
        top_left = sorted(left, key=lambda name: -abs(left[name]))[:TOP]
        top_right = sorted(right, key=lambda name: -abs(right[name]))[:TOP]
        same_order += top_left == top_right
        same_set += set(top_left) == set(top_right)
        gap = max([gap] + [abs(left[name] - right.get(name, 0.0)) for name in left])
    return same_order, same_set, gap


def run(records=RECORDS, samples=SAMPLES):
    try:
        import onnxruntime  # noqa: F401
        import skl2onnx  # noqa: F401
    except ImportError as error:
        print("ONNX against scikit-learn: skipped ({0})".format(error))
        return None
    from threadpoolctl import threadpool_limits

    frame = churn_table(2000)
    features = frame.drop(columns=LABEL)
    model = churn_model(features, frame[LABEL])
    stats = TrainingStats.from_dataframe(frame, LABEL, categorical_columns=text_columns(frame))
    config = ExplainConfig(training_stats=stats, perturbations_count=samples)
    chosen = scored_records(frame, model, records)
    arguments = (stats.feature_columns, stats.problem_type, stats.class_labels, stats.schema)
    onnx = OnnxModel(onnx_bytes(model, features))

    with threadpool_limits(1):
        sklearn_out, sklearn_seconds = explain_all(config, chosen,
                                                   scoring_function(model, *arguments))
        onnx_out, onnx_seconds = explain_all(config, chosen, scoring_function(onnx, *arguments))
    probabilities = np.asarray(onnx.session.run(None, {
        name: features[[name]].head(1000).to_numpy().astype(
            np.float32 if features[name].dtype.kind == "f" else
            np.int64 if features[name].dtype.kind in "iu" else object)
        for name in features.columns})[1])
    drift = np.abs(probabilities - model.predict_proba(features.head(1000))).max()
    same_order, same_set, gap = compare(sklearn_out, onnx_out)

    print("ONNX against scikit-learn: %d records, %d samples, %d features, one core" % (
        records, samples, len(stats.feature_columns)))
    print("  %-34s %9s %12s" % ("", "seconds", "records/s"))
    for name, seconds in (("scikit-learn pipeline", sklearn_seconds),
                          ("ONNX (onnxruntime, one thread)", onnx_seconds)):
        print("  %-34s %9.2f %12.1f" % (name, seconds, records / seconds))
    print("  ONNX is %.2fx the pipeline's throughput" % (sklearn_seconds / onnx_seconds))
    print("  largest probability difference (1,000 rows): %.2e" % drift)
    print("  top %d features: same order in %d/%d records, same set in %d/%d" % (
        TOP, same_order, records, same_set, records))
    print("  largest absolute weight difference: %.2e" % gap)
    return sklearn_seconds, onnx_seconds, same_order, same_set, gap


if __name__ == "__main__":
    run(*(int(value) for value in sys.argv[1:3]))
