"""One record's explanation as lines of text for a terminal."""
from typing import Any, Mapping, Optional

from veltra_utils.explainability.report._describe import (
    LEFT_OUT_HINT,
    describe_feature,
    error_fields,
    format_probability,
    held_note,
    is_classification,
    label_text,
    left_out,
    not_predicted_note,
    plain_text,
    sorted_features,
    weights_note,
)
from veltra_utils.explainability.report._stability import as_stability, verdict
from veltra_utils.explainability.utils.text import inert, shorten

# Characters of the longest bar, drawn for the largest weight.
_BAR_CHARS = 20


def format_table(heading: str, response: Mapping[str, Any],
                 record: Optional[Mapping[str, Any]] = None, stability: Any = None) -> str:
    """One record's response as lines of text for a terminal, under ``heading`` ("row 3").

    ``record`` (feature name to value) fills in the values of numeric
    features described without a range. ``stability`` (``Stability.to_dict()``,
    or the ``Stability``) adds whether the explanation held up when the record
    was explained again, and how well its local model fits, under the heading.
    Everything from the data is shown escaped and shortened: a value can
    neither drive the terminal nor flood it. Numbers read as in the report.
    """
    if "error" in response:
        error = error_fields(response["error"])
        return inert("{0}: FAILED ({1}) {2}".format(
            heading, error.get("code", "error"), shorten(error.get("message", ""), 1000))) + "\n"
    predictions = response.get("predictions") or [{}]
    explained = predictions[0]
    line = "{0}: prediction {1}".format(heading, shorten(plain_text(explained.get("value"))))
    if explained.get("probability") is not None:
        line += ", probability {0}".format(format_probability(explained["probability"]))
    for other in predictions[1:]:
        line += "; otherwise {0}".format(shorten(label_text(other.get("value"))))
        if other.get("probability") is not None:
            line += " ({0})".format(format_probability(other["probability"]))
    features = sorted_features(explained.get("explanation_features"))
    rows, against = left_out(features)
    lines = [inert(line)]
    note = not_predicted_note(predictions)
    if note:
        lines.append("  " + inert(shorten(note, 300)))
    checked = as_stability(stability)
    if checked is not None:
        # One line on a terminal: the verdict as the library words it (the report explains it).
        text = checked.get("verdict")
        if not isinstance(text, str):
            text = verdict(checked, len(features))
        lines.append("  " + inert(shorten(text, 300)))
    if rows:
        largest = max(abs(weight) for _, weight in rows) or 1.0
        labels = [inert(shorten(describe_feature(feature, record), 80)) for feature, _ in rows]
        width = max(len(label) for label in labels)
        lines.append("  {0:<{1}}  {2:>7}".format("feature", width, "weight"))
        for label, (_, weight) in zip(labels, rows):
            # A weight that prints as 0.000 gets no bar: it supports nothing.
            bar = "" if abs(weight) < 0.0005 else ("+" if weight >= 0 else "-") \
                * max(1, int(round(abs(weight) / largest * _BAR_CHARS)))
            lines.append("  {0:<{1}}  {2:>+7.3f}  {3}".format(label, width, weight, bar).rstrip())
    if against:
        lines.append("  against this prediction, left out: " + inert(shorten(", ".join(
            describe_feature(feature, record) for feature in against), 300)))
        lines.append("  (" + LEFT_OUT_HINT + ")")
    if rows:
        lines.append("  " + inert(shorten(weights_note(explained.get("value"),
                                                      is_classification(predictions)), 300)))
    held = held_note(response)
    if held:
        lines.append("  " + inert(shorten(held, 300)))
    return "\n".join(lines) + "\n"
