"""How a record's stability reads as plain text, the same on the page and in the terminal.

A stability is the JSON-safe form ``Stability.to_dict()`` gives: the record
explained again with other seeds, how often the top features held, each
feature's weights over the runs and the local surrogate's fit. The report reads
it for a reader who is no statistician: a verdict in words, the fit as a share
of the model's behaviour the surrogate accounts for, and per feature the range
of its weight over the runs. Values may come from a file, so none is trusted
to have the right type: a figure that is not a finite number is left out.
"""
import math
import numbers
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from veltra_utils.explainability.report._describe import counted, number


@dataclass(frozen=True)
class Spread:
    """One feature over every run: in how many of them it was among the top features
    (``chosen`` of ``total``), and its weight's least and greatest value there."""

    chosen: int
    total: int
    low: float
    high: float

    @property
    def partial(self) -> bool:
        return self.chosen < self.total

    def text(self) -> str:
        """"from +0.120 to +0.451 over 6 runs; among the top features in 3 of 6 runs"."""
        text = "from {0:+.3f} to {1:+.3f} over {2}".format(self.low, self.high,
                                                        counted(self.chosen, "run"))
        if self.partial:
            text += "; among the top features in {0} of {1} runs".format(self.chosen, self.total)
        return text


def _real(value: Any) -> Optional[float]:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not math.isfinite(value):
        return None
    return float(value)


def _count(value: Any) -> Optional[int]:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 0:
        return None
    return int(value)


def as_stability(stability: Any) -> Optional[Mapping[str, Any]]:
    """A stability as its mapping (a ``Stability`` is asked for its ``to_dict()``), or None
    when there is none to show: none given, or one of a record that was not explained."""
    if stability is None:
        return None
    if not isinstance(stability, Mapping) and callable(getattr(stability, "to_dict", None)):
        stability = stability.to_dict()
    if not isinstance(stability, Mapping):
        return None
    if str(stability.get("verdict", "")).startswith("not explained"):
        return None
    runs = _count(stability.get("runs"))
    if not runs or _count(stability.get("same_sets")) is None:
        return None
    return stability


def spreads(stability: Mapping[str, Any]) -> Dict[str, Spread]:
    """Each feature's ``Spread`` by name; the runs counted include the returned explanation."""
    total = int(stability["runs"]) + 1
    features = stability.get("features")
    found = {}
    for name, runs in (features.items() if isinstance(features, Mapping) else ()):
        if not isinstance(runs, Mapping):
            continue
        chosen, low, high = _count(runs.get("chosen")), _real(runs.get("min")), \
            _real(runs.get("max"))
        if chosen and low is not None and high is not None:
            found[str(name)] = Spread(min(chosen, total), total, min(low, high), max(low, high))
    return found


def verdict(stability: Mapping[str, Any], top: int) -> str:
    """The verdict in words: "Stable: the same top 3 features in 5 of 5 re-runs with other
    random samples." ``top`` is how many features the explanation holds."""
    runs, same = int(stability["runs"]), int(stability["same_sets"])
    stable = stability.get("stable") is True
    features = "feature" if top == 1 else "{0} features".format(top)
    text = "{0}: the same top {1} in {2}{3} of {4} with other random samples".format(
        "Stable" if stable else "Unstable", features, "" if stable or same == 0 else "only ",
        same, counted(runs, "re-run"))
    signs = _real(stability.get("sign_agreement"))
    if signs is not None and signs < 1:
        text += "; the re-runs' weights for those features point the same way (raise or " \
                "lower) {0:.0%} of the time".format(math.floor(signs * 100) / 100)
    failed = _count(stability.get("failed_runs"))
    if failed:
        text += "; {0} gave no explanation".format(
            "1 re-run" if failed == 1 else "{0} re-runs".format(failed))
    return text + "."


def fit(stability: Mapping[str, Any], label: Optional[str] = None) -> Optional[str]:
    """How well the local surrogate stands for the model near the record, or None when
    the stability does not tell. ``label``: the explained class of a classification."""
    fit = stability.get("fit")
    if not isinstance(fit, Mapping):
        return None
    r2, local, model = _real(fit.get("r2")), _real(fit.get("local_pred")), _real(fit.get("model"))
    parts = []
    if r2 is not None:
        share = "almost none" if r2 < 0.005 else "about {0:.0%}".format(min(r2, 1.0))
        if fit.get("poor") is True:
            parts.append("Poor fit: the local linear model fits the model's behaviour near this "
                         "record poorly (R\u00b2 {0:.2f}: it accounts for {1} of how the model's "
                         "output varies nearby), so read the weights with care.".format(r2, share))
        else:
            parts.append("Fit: the local linear model accounts for {0} of how the model's output "
                         "varies near this record (R\u00b2 {1:.2f}; 1 is a perfect fit)."
                         .format(share, r2))
    if local is not None and model is not None:
        if label is not None:   # a probability, read as the report reads the model's
            parts.append("At this record it gives {0} for {1}, the model {2}.".format(
                "{0:.1%}".format(local), label, "{0:.1%}".format(model)))
        else:
            parts.append("At this record it gives {0}, the model {1}.".format(
                number(local), number(model)))
    return " ".join(parts) or None


def poor_fit(stability: Mapping[str, Any]) -> bool:
    fit = stability.get("fit")
    return isinstance(fit, Mapping) and fit.get("poor") is True


def whisker_note(stability: Mapping[str, Any]) -> str:
    """What the whiskers on the bars show."""
    return ("Whiskers: the lowest to highest weight each feature got over the {0} runs (this "
            "explanation and its {1}).".format(int(stability["runs"]) + 1,
                                               counted(int(stability["runs"]), "re-run")))


def partial_features(names: Sequence[str],
                     found: Mapping[str, Spread]) -> List[Tuple[str, str]]:
    """(name, "in 3 of 6 runs") of the features named that only some runs chose."""
    return [(name, "in {0} of {1} runs".format(found[name].chosen, found[name].total))
            for name in names if name in found and found[name].partial]


def elsewhere(shown: Sequence[str], found: Mapping[str, Spread]) -> List[Tuple[str, str]]:
    """(name, "in 2 of 6 runs") of the features other runs chose that this explanation
    does not hold, most often chosen first."""
    others = sorted((name for name in found if name not in shown),
                    key=lambda name: (-found[name].chosen, name))
    return [(name, "in {0} of {1} runs".format(found[name].chosen, found[name].total))
            for name in others]
