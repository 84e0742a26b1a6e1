"""How far one explanation can be trusted: the record explained again with other seeds.

LIME draws the perturbations it fits its surrogate on at random. The explainer
starts it from the same seed every time, so a record always gets the same
explanation: reproducible, but that does not say whether another sample would
have named other reasons. ``stability`` explains a record as usual, then
``runs`` more times from the same statistics with the seeds 11, 12, ..., and
compares each run's top features with those of the explanation it returns. It
also keeps what LIME computes and the response leaves out: the local
surrogate's fit (its weighted R² on the perturbations and its value at the
record, beside the model's own). ``stable_explanation`` raises the number of
perturbations until the top features agree.

The verdict, ``stable``, holds when

- the top features of at least ``SAME_SETS`` (80%) of the extra runs are the
  returned explanation's (with five runs: a set that changes in more than one
  run is not stable), and
- at least ``SAME_SIGNS`` (90%) of the weights the runs give those features
  point the way the returned explanation's do.

The fit is reported beside the verdict, not in it: a surrogate can be stable
and still a poor account of the model near the record (R² below
``POOR_FIT``, 0.1: the surrogate uses only the top features, so even a sound
explanation rarely reaches 0.6; below 0.1 it accounts for almost none of how
the model moves there).
docs/stability.md shows how the figures move with the number of perturbations
on real tables, and why the thresholds are where they are.
"""
import copy
import dataclasses
import math
import numbers
from typing import Any, Dict, List, Optional, Sequence, Tuple

from veltra_utils.explainability.entity.constants import ProblemType
from veltra_utils.explainability.errors import Option, SettingError
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.running._records import explain_one
from veltra_utils.explainability.running._types import Response, ScoringFunction
from veltra_utils.explainability.utils.number_util import NumberUtil

__all__ = ["POOR_FIT", "SAME_SETS", "SAME_SIGNS", "FeatureRuns", "Fit", "Stability",
           "StabilityTask", "as_stability", "stability", "stable_explanation"]

#: the least share of extra runs whose top features must be the returned explanation's
SAME_SETS = 0.8
#: the least share of the runs' weights of those features that must keep their sign
SAME_SIGNS = 0.9
#: a surrogate whose weighted R² is below this explains little of the model near the record;
#: R² between this and 0.55 is usual for a sound explanation (docs/stability.md measures it)
POOR_FIT = 0.1
#: the seed of the explanation ``explain`` gives; the extra runs take the seeds after it
FIRST_SEED = 10
#: the most perturbations ``stable_explanation`` tries by default
MAX_PERTURBATIONS = 40000


@dataclasses.dataclass(frozen=True)
class FeatureRuns:
    """One feature over all runs (the returned explanation's included): in how many
    runs it was among the top features, and its weight's least, mean and greatest
    value over those runs."""

    chosen: int
    min: float
    mean: float
    max: float


@dataclasses.dataclass(frozen=True)
class Fit:
    """The local surrogate of the returned explanation against the model.

    ``r2`` is LIME's score: the surrogate's R² on the perturbations, weighted by
    their closeness to the record. ``local_pred`` is the surrogate's value at the
    record and ``model`` the model's (the explained class's probability, or the
    regression value). A field is None where LIME does not tell: with several
    classes explained at once it keeps the fit of the last one only.
    """

    r2: Optional[float]
    local_pred: Optional[float]
    model: Optional[float]

    @property
    def poor(self) -> bool:
        return self.r2 is not None and self.r2 < POOR_FIT


@dataclasses.dataclass(frozen=True)
class Stability:
    """A record's explanation and how it held up over ``runs`` extra runs.

    ``explanation`` is the serialised response, exactly what the explainer gives
    for the record with ``perturbations_count`` perturbations. ``same_sets`` counts
    the extra runs that chose the same top features; ``jaccard`` is the mean
    Jaccard index of their top features against the explanation's and
    ``sign_agreement`` the share of (run, feature) pairs, over the explanation's
    features that a run also chose, whose weight has the explanation's sign.
    ``failed_runs`` counts extra runs that gave no explanation (they count as runs
    with other features). For a record that could not be explained,
    ``explanation`` is the error response and the figures are None.
    """

    explanation: Response
    perturbations_count: Optional[int] = None
    seeds: Tuple[int, ...] = ()
    same_sets: int = 0
    jaccard: Optional[float] = None
    sign_agreement: Optional[float] = None
    features: Dict[str, FeatureRuns] = dataclasses.field(default_factory=dict)
    fit: Optional[Fit] = None
    failed_runs: int = 0

    @property
    def runs(self) -> int:
        return len(self.seeds)

    @property
    def error(self) -> Optional[str]:
        """The error message of a record that could not be explained, else None."""
        error = self.explanation.get("error")
        if error is None:
            return None
        message = error.get("message") if isinstance(error, dict) else None
        return str(message if message is not None else error)

    @property
    def stable(self) -> bool:
        if self.error is not None or not self.runs:
            return False
        return (self.same_sets >= SAME_SETS * self.runs
                and self.sign_agreement is not None and self.sign_agreement >= SAME_SIGNS)

    @property
    def verdict(self) -> str:
        """One line, e.g. "stable: same top 5 in 5 of 5 runs, fit R² 0.81"."""
        if self.error is not None:
            return "not explained: {0}".format(self.error)
        text = "{0}: same top {1} in {2} of {3} runs".format(
            "stable" if self.stable else "unstable", len(_top(self.explanation) or ()),
            self.same_sets, self.runs)
        if self.sign_agreement is not None and self.sign_agreement < SAME_SIGNS:
            text += ", signs agree in {0:.0%}".format(self.sign_agreement)
        if self.fit is not None and self.fit.r2 is not None:
            text += ", fit R² {0:.2f}".format(self.fit.r2)
        return text

    def to_dict(self) -> Dict[str, Any]:
        """Everything but the explanation, as JSON-safe values (NaN becomes None)."""
        return {
            "stable": self.stable,
            "verdict": self.verdict,
            "runs": self.runs,
            "seeds": list(self.seeds),
            "perturbations_count": self.perturbations_count,
            "same_sets": self.same_sets,
            "jaccard": _finite(self.jaccard),
            "sign_agreement": _finite(self.sign_agreement),
            "failed_runs": self.failed_runs,
            "features": {name: {key: _finite(value) for key, value in
                                dataclasses.asdict(runs).items()}
                         for name, runs in self.features.items()},
            "fit": None if self.fit is None else {
                "r2": _finite(self.fit.r2), "local_pred": _finite(self.fit.local_pred),
                "model": _finite(self.fit.model), "poor": self.fit.poor},
        }

    @classmethod
    def from_dict(cls, explanation: Response, data: Dict[str, Any]) -> "Stability":
        """The Stability that ``to_dict`` gave ``data`` for, with its ``explanation``
        (as an output file holds the two side by side)."""
        fit = data.get("fit")
        return cls(explanation, data.get("perturbations_count"), tuple(data.get("seeds") or ()),
                   same_sets=data.get("same_sets") or 0, jaccard=data.get("jaccard"),
                   sign_agreement=data.get("sign_agreement"),
                   features={name: FeatureRuns(**runs)
                             for name, runs in (data.get("features") or {}).items()},
                   fit=None if fit is None else Fit(fit.get("r2"), fit.get("local_pred"),
                                                    fit.get("model")),
                   failed_runs=data.get("failed_runs") or 0)


def stability(record: Any, scoring_function: ScoringFunction, config: Any,
              runs: int = 5) -> Stability:
    """Explain ``record`` as ``explain_record`` does, then ``runs`` more times with other
    seeds, and say how far the top features held (see the module's description).

    The returned ``Stability.explanation`` is byte for byte what ``explain_record``
    gives; the extra runs use the seeds 11 to 10 + ``runs``, so the figures are the
    same on every call. A record without the model's output is scored first.
    Raises ValueError for a ``runs`` that is not a positive integer.
    """
    return StabilityTask(runs=runs).explain_alone(record, scoring_function, config)


def stable_explanation(record: Any, scoring_function: ScoringFunction, config: Any,
                       target: float = 0.9, max_perturbations: int = MAX_PERTURBATIONS,
                       runs: int = 5) -> Stability:
    """The record's ``stability`` at the least number of perturbations at which it is
    stable with a mean Jaccard index of at least ``target``.

    Starts at the configuration's ``perturbations_count`` and doubles it, the last
    step capped at ``max_perturbations``. Returns the ``Stability`` of the count it
    settled on (its ``perturbations_count``; its explanation is what the explainer
    gives with that count), or of the cap with ``stable`` false when the cap came
    first. Raises ValueError for a ``target`` outside (0, 1] or a
    ``max_perturbations`` below the configuration's count.
    """
    return StabilityTask(runs=runs, until_stable=True, target=target,
                         max_perturbations=max_perturbations).explain_alone(
        record, scoring_function, config)


@dataclasses.dataclass(frozen=True)
class StabilityTask:
    """What every execution engine does to a record when stability is asked for:
    ``stability`` of it, or ``stable_explanation`` with ``until_stable``. Picklable,
    so worker processes and Spark run it as they run an explanation."""

    runs: int = 5
    until_stable: bool = False
    target: float = 0.9
    max_perturbations: int = MAX_PERTURBATIONS

    def __post_init__(self) -> None:
        if isinstance(self.runs, bool) or not isinstance(self.runs, numbers.Integral) \
                or self.runs < 1:
            raise ValueError("runs must be a positive integer, got {0!r}".format(self.runs))
        if isinstance(self.target, bool) or not isinstance(self.target, numbers.Real) \
                or not 0 < self.target <= 1:
            raise ValueError("target must be a number above 0 and at most 1, got {0!r}"
                             .format(self.target))
        if isinstance(self.max_perturbations, bool) \
                or not isinstance(self.max_perturbations, numbers.Integral) \
                or self.max_perturbations < 1:
            raise ValueError("max_perturbations must be a positive integer, got {0!r}"
                             .format(self.max_perturbations))

    def check(self, config: Any) -> None:
        """Raise ValueError when the task cannot run under ``config``."""
        if self.until_stable and self.max_perturbations < config.perturbations_count:
            raise SettingError(
                "{max_perturbations} (%d) is below {perturbations_count} (%d): the search "
                "starts there" % (self.max_perturbations, config.perturbations_count),
                max_perturbations=Option("max_perturbations"),
                perturbations_count=Option("perturbations_count"))

    def __call__(self, explainer: LimeTabularExplainer, record: Any,
                 scoring_function: ScoringFunction) -> Stability:
        """The stability of a scored ``record``, ``explainer`` holding the configuration."""
        config = explainer.config
        if not self.until_stable:
            return _measured(explainer, record, scoring_function, self.runs)
        self.check(config)
        result = None
        for count in _counts(config.perturbations_count, self.max_perturbations):
            at_count = explainer if count == config.perturbations_count \
                else LimeTabularExplainer(_with_count(config, count))
            result = _measured(at_count, record, scoring_function, self.runs)
            if result.error is not None or (result.stable and result.jaccard is not None
                                            and result.jaccard >= self.target):
                return result
        assert result is not None
        return result

    def explain_alone(self, record: Any, scoring_function: ScoringFunction,
                      config: Any) -> Stability:
        """``self`` applied to one record in this process, scoring it first if needed."""
        from veltra_utils.explainability.models.scoring import score_records
        from veltra_utils.explainability.running._records import record_list

        self.check(config)
        records = record_list([record], config)
        failed = score_records(records, scoring_function, config)
        if failed:
            return Stability(failed[0])
        return self(LimeTabularExplainer(config), records[0], scoring_function)


def as_stability(result: Any) -> Stability:
    """An engine's result for a record as a Stability: an error response the engine
    gave in its place (a record refused, a failed score, a worker that died) becomes one."""
    if isinstance(result, Stability):
        return result
    return Stability(result)


# -- one record, measured

def _measured(explainer: LimeTabularExplainer, record: Any,
              scoring_function: ScoringFunction, runs: int) -> Stability:
    count = explainer.config.perturbations_count
    first = _Run(None)
    explanation = explain_one(explainer, record, scoring_function, first.explainer)
    top = _top(explanation)
    if top is None:
        return Stability(explanation, count)
    seeds = tuple(range(FIRST_SEED + 1, FIRST_SEED + 1 + runs))
    others = [_top(explain_one(explainer, record, scoring_function, _Run(seed).explainer))
              for seed in seeds]
    names = {name for name, _ in top}
    weights = dict(top)
    agreeing = [_same_sign(weights[name], weight) for run in others if run
                for name, weight in run if name in weights]
    return Stability(
        explanation, count, seeds,
        same_sets=sum(1 for run in others if run is not None and _names(run) == names),
        jaccard=sum(_jaccard(names, _names(run or [])) for run in others) / runs,
        sign_agreement=sum(agreeing) / len(agreeing) if agreeing else None,
        features=_features([top, *others]),
        fit=first.fit(explanation, explainer.config),
        failed_runs=sum(1 for run in others if run is None))


def _top(response: Response) -> Optional[List[Tuple[str, float]]]:
    """(feature name, weight) of the explained prediction's features; None for an error."""
    for prediction in response.get("predictions") or ():
        features = prediction.get("explanation_features")
        if features is not None:
            return [(feature["feature_name"], feature["weight"]) for feature in features]
    return None


def _names(run: Sequence[Tuple[str, float]]) -> set:
    return {name for name, _ in run}


def _jaccard(first: set, second: set) -> float:
    union = first | second
    return len(first & second) / len(union) if union else 1.0


def _same_sign(first: float, second: float) -> bool:
    return (first > 0) == (second > 0) and (first < 0) == (second < 0)


def _features(runs: Sequence[Optional[List[Tuple[str, float]]]]) -> Dict[str, FeatureRuns]:
    weights: Dict[str, List[float]] = {}
    for run in runs:
        for name, weight in run or ():
            weights.setdefault(name, []).append(weight)
    return {name: FeatureRuns(len(values), min(values), sum(values) / len(values), max(values))
            for name, values in weights.items()}


def _counts(start: int, cap: int) -> List[int]:
    counts = [start]
    while counts[-1] < cap:
        counts.append(min(counts[-1] * 2, cap))
    return counts


def _with_count(config: Any, count: int) -> Any:
    changed = copy.copy(config)
    changed.perturbations_count = count
    return changed


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


# -- one run of the explainer, seeded and watched

class _Run:
    """One explanation run: LIME seeded with ``seed`` (None: the explainer's own) and
    every LIME explanation of the run kept, for the surrogate's fit."""

    def __init__(self, seed: Optional[int]) -> None:
        self.seed = seed
        self.explanations: List[Any] = []

    def explainer(self, config: Any) -> LimeTabularExplainer:
        return _WatchedExplainer(config, self)

    def watched(self, lime_explainer: Any) -> Any:
        if self.seed is not None:
            # LIME's sampling, discretizer and surrogate share this one generator
            lime_explainer.random_state.seed(self.seed)
        explain_instance = lime_explainer.explain_instance

        def kept(*args: Any, **kwargs: Any) -> Any:
            explanation = explain_instance(*args, **kwargs)
            self.explanations.append(explanation)
            return explanation

        lime_explainer.explain_instance = kept
        return lime_explainer

    def fit(self, response: Response, config: Any) -> Optional[Fit]:
        """The fit of the LIME explanation ``response`` was built from (the second
        attempt's when it stood), found by its weights."""
        regression = config.problem_type is ProblemType.REGRESSION
        weights = [weight for _, weight in _top(response) or ()]
        for explanation in reversed(self.explanations):
            labels = [1] if regression else list(explanation.local_exp)
            for label in labels:
                if _normalised(explanation, label) == weights:
                    return _fit_of(explanation, label, regression)
        return None


def _normalised(explanation: Any, label: int) -> List[float]:
    pairs = NumberUtil.normalize_feature_weights(explanation.as_list(label=label))
    return [float(weight) for _, weight in pairs]


def _fit_of(explanation: Any, label: int, regression: bool) -> Fit:
    # LIME keeps the score and local prediction of the last label it fitted only
    known = regression or label == list(explanation.local_exp)[-1]
    model = explanation.predicted_value if regression else explanation.predict_proba[label]
    local_pred = explanation.local_pred
    return Fit(float(explanation.score) if known else None,
               float(local_pred[0] if hasattr(local_pred, "__len__") else local_pred)
               if known else None,
               float(model))


class _WatchedExplainer(LimeTabularExplainer):
    """The explainer, its LIME explainers handed to a run before use."""

    def __init__(self, config: Any, run: _Run) -> None:
        super().__init__(config)
        self._run = run

    def _LimeTabularExplainer__get_lime_explainer(self, mode: str) -> Any:
        lime_explainer = super()._LimeTabularExplainer__get_lime_explainer(  # type: ignore
            mode)
        return self._run.watched(lime_explainer)
