"""The planned batch conversion must be indistinguishable from reading the
configuration element by element: same values, same types, same errors."""
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import make_config, make_stats, module

INTEGER_TYPES = ["int", "bigint", "Integer", "LONG", "tinyint"]
OTHER_TYPES = ["double", "float", "", "string", "decimal"]
ELEMENTS = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.integers(-3, 8).map(float),
    st.sampled_from([0.5, 1.5, 2.5, -0.5, -2.5, 2.7, -0.7, 1e19, -1e19]),
)


class ReadThrough:
    """Configuration behind __getattr__: every read runs code, so nothing may be planned."""

    def __init__(self, target):
        object.__setattr__(self, "target", target)

    def __getattr__(self, name):
        return getattr(object.__getattribute__(self, "target"), name)


@st.composite
def configurations(draw):
    width = draw(st.integers(0, 6))
    names = ["c%d" % i for i in range(width)]
    categorical = sorted(draw(st.sets(st.integers(0, max(width - 1, 0)), max_size=width))) if width else []
    encoding = {}
    for position in categorical:
        count = draw(st.integers(1, 4))
        choices = [["a", "b", "c", "d"], [10, 20, 30, 40], ["x y", "=", "é", "z"]]
        values = draw(st.sampled_from(choices))[:count]
        encoding[position] = np.array(values, dtype=object) if draw(st.booleans()) else list(values)
    if categorical and draw(st.booleans()):
        encoding.pop(categorical[0])  # a categorical column without an encoding
    schema = {name: draw(st.sampled_from(INTEGER_TYPES + OTHER_TYPES)) for name in names}
    if names and draw(st.integers(0, 5)) == 0:
        schema.pop(names[-1])  # a feature without a type
    stats = make_stats(cat_col_indexes=categorical, cat_cols_encoding_map=encoding)
    return make_config(feature_columns=names, schema=schema, training_stats=stats), width


def outcome(config, batch):
    explainer = module.LimeTabularExplainer(config)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            rows = explainer._LimeTabularExplainer__convert_data(batch)
    except Exception as error:  # the error is part of the behaviour being compared
        return ("error", type(error), str(error))
    return ("rows", rows, [[type(value) for value in row] for row in rows])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_planned_and_element_wise_conversion_agree(data):
    config, width = data.draw(configurations())
    extra = data.draw(st.integers(0, 1))  # occasionally wider than the configuration
    rows = data.draw(st.integers(0, 4))
    values = data.draw(st.lists(ELEMENTS, min_size=rows * (width + extra), max_size=rows * (width + extra)))
    batch = np.array(values, dtype=np.float64).reshape(rows, width + extra)
    planned = outcome(config, batch)
    element_wise = outcome(ReadThrough(config), batch)
    assert planned[0] == element_wise[0]
    if planned[0] == "error":
        assert planned[1:] == element_wise[1:]
    else:
        assert planned[2] == element_wise[2]
        assert repr(planned[1]) == repr(element_wise[1])


def test_non_contiguous_and_non_float_batches_convert_the_same(explainer):
    batch = np.arange(24, dtype=np.float64).reshape(4, 6)[:, ::2] % 3
    expected = explainer._LimeTabularExplainer__convert_data(batch.copy())
    assert explainer._LimeTabularExplainer__convert_data(batch) == expected
    assert explainer._LimeTabularExplainer__convert_data(batch.astype(np.float32)) == expected


class CountingCounter(__import__("collections").Counter):
    """A replaced module-level Counter (and max): the bookkeeping is then left to the interpreter."""


PROBABILITY = st.one_of(st.sampled_from([0.0, -0.0, 0.25, 0.5, 1.0]), st.floats(allow_nan=True, width=64),
                        st.integers(0, 1))
LABEL = st.one_of(st.none(), st.sampled_from(["a", "b", 0, 1, 1.0, True]))


def label_bookkeeping(explainer, predictions, probabilities):
    explainer.predict_proba = lambda rows: (predictions, probabilities)
    try:
        explainer._LimeTabularExplainer__predict_proba(np.zeros((0, 3)))
    except Exception as error:
        return ("error", type(error), str(error))
    return ("state", repr(explainer.possible_predictions),
            repr(sorted(explainer.label_map.items(), key=repr)))


@settings(max_examples=300, deadline=None)
@given(rows=st.lists(st.tuples(LABEL, st.lists(PROBABILITY, max_size=4)), max_size=6),
       derive=st.booleans(), seed_map=st.dictionaries(LABEL, st.integers(0, 3), max_size=2))
def test_planned_and_interpreted_label_bookkeeping_agree(monkeypatch_module, rows, derive, seed_map):
    predictions = None if derive else [label for label, _ in rows]
    probabilities = [probs for _, probs in rows]
    outcomes = []
    for counter, maximum in ((module.Counter, None), (CountingCounter, lambda *args: max(*args))):
        monkeypatch_module.setattr(module, "Counter", counter)
        if maximum is None:
            monkeypatch_module.delattr(module, "max", raising=False)
        else:
            monkeypatch_module.setattr(module, "max", maximum, raising=False)
        explainer = module.LimeTabularExplainer(make_config())
        explainer.label_map.update(seed_map)
        outcomes.append(label_bookkeeping(explainer, predictions, [list(p) for p in probabilities]))
    assert outcomes[0] == outcomes[1]
