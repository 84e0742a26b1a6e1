"""Which types a skops model file may name without the caller trusting them by name.

A skops file (``skops.io.dump``) names the type of every object it holds, and
nothing in it is built unless that type is trusted. skops trusts plain data,
numpy arrays and scikit-learn's estimator classes on its own;
``trusted_types`` lists what this package trusts on top of that. Every other
type, and every function but the ufuncs of numpy and scipy.special, is refused
until the caller names it: a function that a pipeline calls can be any
function at all, ``exec`` included.
"""
import functools
import re
import warnings
from typing import FrozenSet, Iterable, List, Union

from veltra_utils.explainability.errors import ModelFileError, Option

TREE = "sklearn.tree._tree.Tree"
TREE_PREDICTOR = "sklearn.ensemble._hist_gradient_boosting.predictor.TreePredictor"

# Types that fitted scikit-learn models hold besides their estimators. Each one
# is data that scikit-learn's own code reads; none of them calls a function
# named by the file. The node indexes of the two tree types drive compiled code
# without bounds checks, so trees are checked after loading (_check_trees).
_SKLEARN_HELPER_TYPES = (
    TREE,                   # decision trees, random forests, (extra) trees, gradient boosting
    TREE_PREDICTOR,         # histogram gradient boosting
    "sklearn.utils._bunch.Bunch",                                   # voting, stacking
    "sklearn.compose._column_transformer.make_column_selector",
    "sklearn.calibration._CalibratedClassifier",
    "sklearn.calibration._SigmoidCalibration",
    "sklearn.neural_network._stochastic_optimizers.AdamOptimizer",
    "sklearn.neural_network._stochastic_optimizers.SGDOptimizer",
    "sklearn.metrics._scorer._PassthroughScorer",                   # grid searches
    "sklearn.model_selection._split.KFold",
    "sklearn.model_selection._split.StratifiedKFold",
)

# skops trusts numpy arrays and scalars where it stores them as array data.
# Listing their names here would also let a file call those types with
# arguments of its choosing (numpy.void(10**10) allocates 10 GB), so only
# types that cannot be instantiated that way are listed: dtypes, and the
# abstract scalar types column selectors filter by.
_NUMPY_TYPES = (
    "numpy.dtype",
    "numpy.generic", "numpy.number", "numpy.integer", "numpy.signedinteger",
    "numpy.unsignedinteger", "numpy.inexact", "numpy.floating", "numpy.complexfloating",
    "numpy.flexible", "numpy.character",
    "builtins.object",       # dtype=object, e.g. make_column_selector(dtype_include=object)
)


_TYPE_NAME = re.compile(r"[A-Za-z_]\w*(\.[A-Za-z_]\w*)+\Z")


@functools.lru_cache(maxsize=None)
def trusted_types() -> FrozenSet[str]:
    """The type names a skops model file may use without the caller naming them.

    These come on top of what skops trusts by itself (plain data, numpy arrays,
    the ufuncs of numpy and scipy.special, scikit-learn's estimators and their
    loss objects): every estimator and transformer class of scikit-learn's
    public modules, the few helper types fitted models hold, and numpy's dtype
    and abstract scalar types. Names are exact, ``module.Type`` as
    ``skops.io.get_untrusted_types`` reports them.
    """
    from sklearn.utils import all_estimators

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")       # deprecated estimators still count
        estimators = {"{0}.{1}".format(cls.__module__, cls.__qualname__)
                      for _, cls in all_estimators()}
    return frozenset({name for name in estimators if name.startswith("sklearn.")}
                     | set(_SKLEARN_HELPER_TYPES) | set(_NUMPY_TYPES))



def type_names(trust: Union[str, Iterable[str], None]) -> List[str]:
    """``trust`` (a name or an iterable of names) as a list of exact type names;
    ModelFileError for anything that is not a full ``module.Type`` name."""
    if isinstance(trust, str):
        trust = [trust]
    names = list(trust or ())
    for name in names:
        if not isinstance(name, str) or not _TYPE_NAME.match(name):
            raise ModelFileError("{{trust}} takes full type or function names such as "
                                 "numpy.take, got {0!r}".format(name), trust=Option("trust"))
    return names
