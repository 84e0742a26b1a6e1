"""Records as every engine takes them, and the explanation of one record."""
import contextlib
import gc
import threading
from collections.abc import Mapping
from typing import Any, Callable, Iterable, Iterator, List, Optional

from veltra_utils.explainability.entity.explain_config import missing_columns
from veltra_utils.explainability.entity.explain_response import error_response
from veltra_utils.explainability.entity.transaction import probability_columns
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.running._types import Response, ScoringFunction
from veltra_utils.explainability.statistics import unseen as _unseen
from veltra_utils.explainability.utils.text import one_line, quote


def check_columns(columns: Iterable[str], config: Any, scored: bool = True) -> None:
    """Raise ValueError when a frame of records lacks a column every explanation needs.

    ``scored`` asks for the model's output columns too; without it only the
    feature columns are needed, and records without output are scored first.
    """
    missing = missing_columns(columns, config, scored)
    if missing:
        raise ValueError("The records lack the column{0} {1}".format(
            "s" if len(missing) > 1 else "", ", ".join(quote(name) for name in missing)))


def record_list(records: Any, config: Any) -> List[Any]:
    """``records`` (a pandas DataFrame or an iterable of mappings) as a list of records of
    their own, which scoring may fill in; raises ValueError for a frame that lacks a
    feature column and TypeError for a single record."""
    try:
        import pandas as pd
    except ImportError:  # pragma: no cover - pandas is a dependency
        pd = None
    if pd is not None and isinstance(records, pd.DataFrame):
        check_columns(records.columns, config, scored=False)
        return records.to_dict("records")
    if isinstance(records, (str, bytes, Mapping)):
        raise TypeError("records must be a DataFrame or an iterable of records, not a single {0}"
                        .format(type(records).__name__))
    # Scoring fills in missing output: on copies, never on the caller's records.
    return [dict(record) if isinstance(record, Mapping) else record for record in records]


_PAUSE_LOCK = threading.Lock()
_pauses = [0, False]  # explanations under way, and whether collection was on before the first


@contextlib.contextmanager
def _collection_paused() -> Iterator[None]:
    """The cyclic garbage collector off while explanations run, on again after the last.

    An explanation hands the scoring function thousands of row lists and gets as
    many probability rows back; each batch would start a dozen collections, some
    of them over every object of the process, for garbage that reference counting
    frees anyway. Whatever cycles the explanation leaves are collected afterwards.
    """
    with _PAUSE_LOCK:
        if _pauses[0] == 0:
            _pauses[1] = gc.isenabled()
            gc.disable()
        _pauses[0] += 1
    try:
        yield
    finally:
        with _PAUSE_LOCK:
            _pauses[0] -= 1
            if _pauses[0] == 0 and _pauses[1]:
                gc.enable()


def explain_one(explainer: LimeTabularExplainer, record: Any,
                scoring_function: ScoringFunction,
                explainer_for: Optional[Callable[[Any], LimeTabularExplainer]] = None
                ) -> Response:
    """The explainer's response for one scored record; an exception of its own becomes an
    error response.

    A record with values the statistics lack (a gap where the training data
    had none, a new category) is explained by an explainer of its own, from
    statistics adjusted to it, and those values are marked in the response.
    The scoring function receives gaps as NaN. When it names the class labels its
    probability columns follow (``probability_labels``, as ``scoring_function`` and
    ``ModelScoring`` do), a record is explained for its predicted class alone.
    ``explainer_for``, when given, builds the explainer that runs from the
    configuration this record needs (in place of ``explainer``).
    """
    try:
        config = explainer.config
        unseen = _unseen.unseen_values(config, record)
        if unseen:
            config = _unseen.adjusted_config(config, unseen)
            explainer = LimeTabularExplainer(config)
        if explainer_for is not None:
            explainer = explainer_for(config)
        score = _unseen.GapsAsNaN(scoring_function, _unseen.numeric_gap_positions(config))
        with probability_columns(getattr(scoring_function, "probability_labels", None)), \
                _collection_paused():
            response = explainer.explain(record, score)
        return _unseen.marked(response, config, unseen)
    except Exception as error:  # explain answers with a response; this is a last resort
        return error_response(one_line(error))
