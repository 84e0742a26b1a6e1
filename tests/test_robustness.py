"""Whatever a host passes, `explain` answers with a response (or lets an
interrupt through): no crash, no SystemError, no pending exception, no leak."""
import gc
import json
import os
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import veltra_utils
from conftest import module
from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.statistics.training_stats import TrainingStats

EXAMPLES = int(os.environ.get("VELTRA_PROPERTY_EXAMPLES", "60"))
NAMES = st.text(st.characters(blacklist_categories=("Cs",)), min_size=1, max_size=8)


class Hostile:
    """A value whose protocol methods raise."""

    def __init__(self, method):
        self.method = method

    def _fail(self, *args):
        raise RuntimeError("hostile %s" % self.method)

    def __getattribute__(self, name):
        if name in ("__eq__", "__index__", "__round__", "__len__", "__iter__", "__float__", "__sub__"):
            if name == object.__getattribute__(self, "method"):
                return object.__getattribute__(self, "_fail")
        return object.__getattribute__(self, name)

    def __eq__(self, other):
        return self._fail() if self.method == "__eq__" else False

    def __hash__(self):
        return 1

    def __len__(self):
        return self._fail() if self.method == "__len__" else 2

    def __iter__(self):
        return self._fail() if self.method == "__iter__" else iter([["a"], [[0.5, 0.5]]])

    def __index__(self):
        return self._fail()

    def __round__(self, *args):
        return self._fail()


def hostile_results(rows):
    n = len(rows)
    return [
        None, "ab", 5, (), ([0] * n,), ([0] * n, [[1.0, 0.0]] * n, None),
        (x for x in ([1] * n, [[0.2, 0.8]] * n)),
        (np.array([0, 1] * n)[:n], [[0.5, 0.5]] * n), ([None] * n, [[float("nan"), 0.5]] * n),
        ([1] * n, [[float("inf"), -float("inf")]] * n), ([10 ** 30] * n, [[10 ** 30, -(10 ** 30)]] * n),
        ([1] * n, [[0.1, 0.9], [0.3]] * n), (["x"] * n, [Hostile("__eq__")] * n), Hostile("__iter__"),
        Hostile("__len__"), ([Hostile("__eq__")] * n, [[0.5, 0.4]] * n), ([1] * n, np.ones((n, 2)) / 2),
        ("label", "probabilities"), ([1] * (n + 1), [[0.4, 0.6]] * (n + 3)),
    ]


@st.composite
def setups(draw):
    width = draw(st.one_of(st.integers(1, 12), st.integers(13, 60)))
    names = draw(st.lists(NAMES, min_size=width, max_size=width, unique=True))
    rng = np.random.default_rng(draw(st.integers(0, 2 ** 16)))
    # Odd names everywhere, but a categorical name must be one LIME's "name=value" gives back.
    categorical = [name for name in names if "=" not in name and name == name.strip() and draw(st.booleans())]
    columns = {}
    for name in names:
        if name in categorical:
            columns[name] = rng.choice(["a b", "=x", "é", "<y>"], size=40)
        elif draw(st.booleans()):
            columns[name] = rng.integers(-5, 5, size=40)
        else:
            columns[name] = rng.normal(0, draw(st.sampled_from([1e-6, 1.0, 1e6])), size=40)
    label = "label" if "label" not in names else "label_"
    columns[label] = rng.integers(0, 2, size=40)
    columns[label][:2] = [0, 1]
    frame = pd.DataFrame(columns)
    stats = TrainingStats.from_dataframe(frame, label, categorical_columns=categorical,
                                         problem_type=ProblemType.BINARY)
    config = ExplainConfig(training_stats=stats, problem_type=ProblemType.BINARY, perturbations_count=20,
                           features_count=draw(st.integers(1, 70)))
    record = frame.drop(columns=label).iloc[0].to_dict()
    record.update(prediction=1, probability=0.7)
    return config, record, names


def assert_response(result):
    assert set(result) in ({"predictions"}, {"error"}), result
    if "error" in result:
        assert result["error"]["code"] == "KTRES1001E"
        assert "SystemError" not in result["error"]["message"]
    json.dumps(result, allow_nan=False)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(setup=setups(), choice=st.integers(0, 18))
def test_hostile_scoring_functions_end_in_a_response(setup, choice):
    config, record, _ = setup

    def scoring(rows):
        return hostile_results(rows)[choice]

    assert_response(module.LimeTabularExplainer(config).explain(record, scoring))
    assert sys.exc_info() == (None, None, None)


@settings(max_examples=EXAMPLES // 2, deadline=None, suppress_health_check=list(HealthCheck))
@given(setup=setups(), bad=st.sampled_from(["missing", "unseen", "text", "nan", "hostile", "none"]))
def test_bad_records_end_in_the_error_response(setup, bad):
    config, record, names = setup
    name = names[0]
    if bad == "missing":
        del record[name]
    elif bad == "unseen":
        record[name] = "never seen in training"
    elif bad == "text":
        record[name] = object()
    elif bad == "nan":
        record[name] = float("nan")
    elif bad == "hostile":
        record[name] = Hostile("__eq__")
    else:
        record = None
    assert_response(module.LimeTabularExplainer(config).explain(record, lambda rows: ([1] * len(rows), None)))


def test_scoring_function_mutating_its_explainer(small_setup):
    config, record = small_setup
    explainer = module.LimeTabularExplainer(config)

    def scoring(rows):
        explainer.config = None
        explainer.label_map = "not a mapping"
        explainer.possible_predictions = None
        return [1] * len(rows), [[0.3, 0.7]] * len(rows)

    assert_response(explainer.explain(record, scoring))


@pytest.fixture(scope="module")
def small_setup():
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"plan": rng.choice(["basic", "pro"], 200), "tenure": rng.integers(0, 60, 200),
                          "spend": rng.normal(50, 10, 200)})
    frame["label"] = (frame["spend"] + (frame["plan"] == "pro") * 10 > 55).astype(int)
    stats = TrainingStats.from_dataframe(frame, "label", categorical_columns=["plan"],
                                         problem_type=ProblemType.BINARY)
    config = ExplainConfig(training_stats=stats, problem_type=ProblemType.BINARY, perturbations_count=50)
    record = {"plan": "pro", "tenure": 12, "spend": 61.5, "prediction": 1, "probability": 0.8}
    return config, record


def linear_scoring(rows):
    probabilities = []
    for plan, tenure, spend in rows:
        p = min(max((spend - 50) / 20 + (0.2 if plan == "pro" else 0) + tenure / 600, 0.0), 1.0)
        probabilities.append([1 - p, p])
    return [int(p[1] > 0.5) for p in probabilities], probabilities


def test_repeated_calls_hold_no_memory_or_references(small_setup):
    config, record = small_setup
    explainer = module.LimeTabularExplainer(config)
    shared = (config, config.training_stats, linear_scoring)

    def failing(rows):
        raise ValueError("model offline")

    for _ in range(20):
        explainer.explain(record, linear_scoring)
        explainer.explain(record, failing)
    gc.collect()
    references = [sys.getrefcount(obj) for obj in shared]
    rss_before = _rss_mib()
    calls = int(os.environ.get("VELTRA_LEAK_CALLS", "300"))
    for _ in range(calls):
        assert "predictions" in explainer.explain(record, linear_scoring)
        assert "error" in explainer.explain(record, failing)
    gc.collect()
    if not os.environ.get("VELTRA_SANITIZED"):  # the sanitizer's allocator keeps freed memory on purpose
        assert _rss_mib() - rss_before < 10
    assert [sys.getrefcount(obj) for obj in shared] == references


def test_two_threads_give_the_sequential_answers(small_setup):
    config, record = small_setup
    records = [dict(record, spend=40.0 + i, tenure=i) for i in range(6)]
    sequential = [module.LimeTabularExplainer(config).explain(r, linear_scoring) for r in records]
    results = {}

    def work(name, subset):
        explainer = module.LimeTabularExplainer(config)
        results[name] = [explainer.explain(r, linear_scoring) for r in subset]

    threads = [threading.Thread(target=work, args=(i, records[i::2])) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results[0] == sequential[0::2] and results[1] == sequential[1::2]


def _rss_mib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


# Run in a child process: the address space is capped there, with room for the
# interpreter's own copy of a 256 MiB keyword but not for the explainer's.
_ALLOCATION_FAILURE = """
import resource
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer

def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

size = 256 * 2 ** 20
keyword = "k" * size
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + size * 3 // 2, hard))
try:
    LimeTabularExplainer.is_valid(None, **{keyword: 1})
except MemoryError:
    print("MemoryError")
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
del keyword
try:
    LimeTabularExplainer.is_valid(None, other=1)
except TypeError as error:
    print(error)
"""


@pytest.mark.skipif(bool(os.environ.get("VELTRA_SANITIZED")),
                    reason="the sanitizer's allocator reserves its own address space")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc for the address space")
def test_a_failed_allocation_in_the_compiled_methods_is_a_memory_error():
    # Reporting an unexpected keyword copies it in C++: that allocation fails
    # (std::bad_alloc), which must reach Python as MemoryError, not end the process.
    import_root = os.path.dirname(os.path.dirname(veltra_utils.__file__))  # the package as imported here
    here = dict(os.environ, PYTHONPATH=os.pathsep.join([import_root, os.environ.get("PYTHONPATH", "")]))
    child = subprocess.run([sys.executable, "-c", _ALLOCATION_FAILURE], capture_output=True, text=True,
                           env=here, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "MemoryError", "LimeTabularExplainer.is_valid() got an unexpected keyword argument 'other'"]
