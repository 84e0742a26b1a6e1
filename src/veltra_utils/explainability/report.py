"""A self-contained HTML report of explained records.

One section per record: the prediction and its probability, a bar chart of the
feature weights drawn as inline SVG, the complementary label, or the error that
stopped the explanation. The page loads nothing from anywhere (no scripts, no
fonts, no images) and every piece of text is escaped, since feature names and
values come straight from the user's data.

    sections = [ReportSection("Row 0", explainer.explain(record, score), record)]
    write_report("report.html", sections, title="Churn model")
"""
import html
import math
import numbers
from collections import namedtuple

from veltra_utils.explainability.utils.files import write_text_atomically
from veltra_utils.explainability.utils.text import inert, shorten

__all__ = ["ReportSection", "describe_feature", "format_probability", "format_table",
           "sorted_features", "render_report", "write_report", "POSITIVE_COLOUR",
           "NEGATIVE_COLOUR"]

# Blue and orange stay apart for the common kinds of colour blindness.
POSITIVE_COLOUR = "#2166ac"
NEGATIVE_COLOUR = "#d95f02"

ReportSection = namedtuple("ReportSection", ["heading", "response", "record"])
ReportSection.__new__.__defaults__ = (None,)
ReportSection.__doc__ = """One record of the report.

``heading`` names the record (e.g. "Row 3"), ``response`` is the explainer's
dumped response (``{"predictions": [...]}`` or ``{"error": {...}}``) and
``record``, when given, maps feature names to the record's values so the chart
labels can show them.
"""

_CHART_WIDTH = 760
_BAR_HEIGHT = 22
_BAR_GAP = 8
_VALUE_SPACE = 64        # room for the weight printed beside each bar
_CHAR_WIDTH = 7.2        # rough advance of a 13px sans-serif character
_MAX_LABEL_CHARS = 48

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, Helvetica, Arial, sans-serif;
       margin: 2rem auto; max-width: 820px; padding: 0 1rem; color: #1a1a1a; background: #fff; }
h1 { font-size: 1.5rem; margin-bottom: .25rem; }
.meta { color: #555; margin-top: 0; }
nav ol { columns: 3; padding-left: 1.5rem; }
section { border-top: 1px solid #ddd; padding: 1rem 0 1.5rem; }
h2 { font-size: 1.15rem; margin: 0 0 .5rem; }
.outcome { font-size: 1.05rem; margin: .25rem 0; }
.complement { color: #444; margin: .25rem 0 .75rem; }
.legend { font-size: .85rem; color: #444; margin: .5rem 0 0; }
.swatch { display: inline-block; width: .8rem; height: .8rem; vertical-align: -1px;
          margin: 0 .3rem 0 .9rem; border-radius: 2px; }
.swatch:first-child { margin-left: 0; }
.error { background: #fdf0ef; border-left: 4px solid #b2182b; padding: .6rem .9rem; }
.error p { margin: .2rem 0; }
.code { color: #666; font-size: .85rem; }
.failed { color: #b2182b; }
details { margin-top: .5rem; font-size: .9rem; }
details table { border-collapse: collapse; margin-top: .3rem; }
details td, details th { text-align: left; padding: .1rem .8rem .1rem 0; }
svg text { font-family: inherit; font-size: 13px; }
"""


def _text(value):
    """``value`` as escaped text for HTML content and attribute values alike.

    Control characters and bidirectional overrides from the data are shown as
    escapes (``\\u202e``), so a value cannot reorder the text around it.
    """
    return html.escape(inert(_plain_text(value), keep_newlines=True), quote=True)


def _isolated(value):
    """``value`` as escaped text in its own direction, so right-to-left data keeps its place."""
    return "<bdi>{0}</bdi>".format(_text(value))


def _plain_text(value):
    if value is None:
        return "missing"  # a gap in the data, and the category of the training data's gaps
    if isinstance(value, float):
        return _number(value)
    return str(value)


def _is_gap(value):
    """None or NaN, as a record's empty cell reads (without loading numpy for the check)."""
    return value is None or (isinstance(value, float) and math.isnan(value))


def _number(value, digits=6):
    """A number in short form: 42.09, 0.000015876, 1e+20; non-finite ones spelled out."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        return str(value)
    value = float(value) + 0.0  # -0.0 reads as 0
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "infinity" if value > 0 else "-infinity"
    return format(value, ".{0}g".format(digits))


def format_probability(value):
    """A probability as a percentage with four significant digits, or None.

    Only a probability of exactly 0 or 1 reads 0% or 100%; one that merely
    rounds there says so ("> 99.99%"), so it never contradicts its complement.
    """
    if isinstance(value, bool) or not isinstance(value, numbers.Real) \
            or not math.isfinite(value):
        return None
    value = float(value)
    text = format(value * 100, ".4g")
    if text == "100" and value != 1.0:
        return "> 99.99%"
    return text + "%"


def describe_feature(feature, record=None):
    """A feature of a dumped explanation as a person reads it.

    ``plan = gold``, ``income <= 42.09``, ``12.5 < age <= 40``, ``age > 40``; a
    numeric feature without a range shows the record's value when ``record``
    holds it, and a categorical feature the record leaves empty reads
    ``plan = missing``. Plain text, not escaped.
    """
    name = str(feature.get("feature_name", "?"))
    if feature.get("is_categorical") or "feature_value" in feature:
        # LIME describes a categorical feature by the record's own category, and
        # prints the category of missing values as "None", as it would the text "None".
        value = feature.get("feature_value")
        if record is not None and name in record and _is_gap(record[name]):
            value = None
        return "{0} = {1}".format(name, _plain_text(value))
    bounds = feature.get("feature_range")
    if isinstance(bounds, dict) and (bounds.get("min") is not None
                                     or bounds.get("max") is not None):
        low, high = bounds.get("min"), bounds.get("max")
        if high is None:
            return "{0} {1} {2}".format(name, ">=" if bounds.get("min_inclusive") else ">",
                                        _number(low))
        text = "{0} {1} {2}".format(name, "<=" if bounds.get("max_inclusive") else "<",
                                    _number(high))
        if low is not None:
            text = "{0} {1} {2}".format(_number(low), "<=" if bounds.get("min_inclusive") else "<",
                                        text)
        return text
    if record is not None and name in record:
        return "{0} = {1}".format(name, _plain_text(record[name]))
    return name


# Shown under an explanation made again with non-negative weights.
_ZERO_WEIGHT_NOTE = ("a weight of 0 marks a factor that does not support the prediction; "
                     "--show-opposing-features (show_opposing_features=True) shows what "
                     "weighs against it")


def _explained_again(rows):
    """Whether the (feature, weight) ``rows`` are those of a classification explained again.

    That happens when the first explanation's negative weights outweigh its
    positive ones; the second surrogate's weights cannot be negative, and at
    least one of them sits at exactly 0 (a fit with none at that bound would be
    the unconstrained fit, which had a negative weight). An explanation that
    stands as first made has a negative weight or, short of a feature that
    never varies in the training data, no weight of exactly 0.
    """
    weights = [weight for _, weight in rows]
    return bool(weights) and min(weights) >= 0 and 0 in weights


def format_table(heading, response, record=None, show_record=False):
    """One record's response as lines of text for a terminal, under ``heading`` ("row 3").

    ``record`` (feature name to value) fills in the values of numeric
    features described without a range; ``show_record`` also lists it.
    Everything from the data is shown escaped and shortened: a value can
    neither drive the terminal nor flood it. Numbers read as in the report.
    """
    values = []
    if show_record and record:
        values = [inert("  record: " + shorten(", ".join(
            "{0}={1}".format(name, _plain_text(value)) for name, value in record.items()), 1000))]
    if "error" in response:
        error = response["error"]
        return "\n".join([inert("{0}: FAILED ({1}) {2}".format(
            heading, error.get("code", "error"), shorten(error.get("message", ""), 1000)))]
            + values) + "\n"
    predictions = response.get("predictions") or [{}]
    explained = predictions[0]
    line = "{0}: prediction {1}".format(heading, shorten(_plain_text(explained.get("value"))))
    if explained.get("probability") is not None:
        line += ", probability {0}".format(format_probability(explained["probability"]))
    for other in predictions[1:]:
        line += "; otherwise {0}".format(shorten(_plain_text(other.get("value"))))
        if other.get("probability") is not None:
            line += " ({0})".format(format_probability(other["probability"]))
    rows = sorted_features(explained.get("explanation_features"))
    lines = [inert(line)] + values
    if rows:
        largest = max(abs(weight) for _, weight in rows) or 1.0
        labels = [inert(shorten(describe_feature(feature, record), 80)) for feature, _ in rows]
        width = max(len(label) for label in labels)
        lines.append("  {0:<{1}}  {2:>7}".format("feature", width, "weight"))
        for label, (_, weight) in zip(labels, rows):
            bar = ("+" if weight >= 0 else "-") * max(1, int(round(abs(weight) / largest * 20)))
            lines.append("  {0:<{1}}  {2:>+7.3f}  {3}".format(label, width, weight, bar))
        if _explained_again(rows):
            lines.append("  " + _ZERO_WEIGHT_NOTE)
    return "\n".join(lines) + "\n"


def _weight(feature):
    weight = feature.get("weight")
    if isinstance(weight, bool) or not isinstance(weight, numbers.Real) \
            or not math.isfinite(weight):
        return None
    return float(weight)


def sorted_features(features):
    """The features with a usable weight, largest magnitude first (stable on ties)."""
    weighted = [(feature, _weight(feature)) for feature in features or ()]
    weighted = [(feature, weight) for feature, weight in weighted if weight is not None]
    return sorted(weighted, key=lambda pair: -abs(pair[1]))


def _shorten(text, limit=_MAX_LABEL_CHARS):
    return text if len(text) <= limit else text[:limit - 1] + "\u2026"


def _bar_chart(features, record, caption):
    """Horizontal bars around a zero line: positive weights right, negative left."""
    rows = sorted_features(features)
    if not rows:
        return "<p>The explanation holds no feature weights.</p>"
    labels = [describe_feature(feature, record) for feature, _ in rows]
    shown = [_shorten(label) for label in labels]
    label_width = min(max(len(label) for label in shown) * _CHAR_WIDTH + 12, 360)
    label_width = max(label_width, 120)
    plot_left = label_width + _VALUE_SPACE
    plot_width = _CHART_WIDTH - plot_left - _VALUE_SPACE
    has_negative = any(weight < 0 for _, weight in rows)
    has_positive = any(weight > 0 for _, weight in rows)
    if has_negative and has_positive:
        zero = plot_left + plot_width / 2.0
        half = plot_width / 2.0
    elif has_negative:
        zero, half = plot_left + plot_width, plot_width
    else:
        zero, half = plot_left, plot_width
    largest = max(abs(weight) for _, weight in rows) or 1.0
    height = len(rows) * (_BAR_HEIGHT + _BAR_GAP) + _BAR_GAP

    parts = ['<svg xmlns="http://www.w3.org/2000/svg" role="img" width="{0}" height="{1}" '
             'viewBox="0 0 {0} {1}"><title>{2}</title>'.format(_CHART_WIDTH, height,
                                                                _text(caption))]
    for index, ((feature, weight), label, short) in enumerate(zip(rows, labels, shown)):
        top = _BAR_GAP + index * (_BAR_HEIGHT + _BAR_GAP)
        middle = top + _BAR_HEIGHT / 2.0
        length = abs(weight) / largest * half
        colour = POSITIVE_COLOUR if weight >= 0 else NEGATIVE_COLOUR
        x = zero if weight >= 0 else zero - length
        weight_text = "{0:+.3f}".format(weight)
        parts.append('<g class="{0}">'.format("positive" if weight >= 0 else "negative"))
        parts.append('<title>{0}: {1}</title>'.format(_text(label), _text(weight_text)))
        parts.append('<text x="{0:.1f}" y="{1:.1f}" text-anchor="end" dominant-baseline="middle">'
                     '{2}</text>'.format(label_width, middle, _text(short)))
        parts.append('<rect x="{0:.1f}" y="{1}" width="{2:.1f}" height="{3}" fill="{4}" rx="2"/>'
                     .format(x, top, max(length, 1.0), _BAR_HEIGHT, colour))
        if weight >= 0:
            value_x, anchor = zero + length + 4, "start"
        else:
            value_x, anchor = zero - length - 4, "end"
        parts.append('<text x="{0:.1f}" y="{1:.1f}" text-anchor="{2}" dominant-baseline="middle" '
                     'fill="#333">{3}</text>'.format(value_x, middle, anchor, weight_text))
        parts.append('</g>')
    parts.append('<line x1="{0:.1f}" y1="0" x2="{0:.1f}" y2="{1}" stroke="#888" '
                 'stroke-width="1"/>'.format(zero, height))
    parts.append('</svg>')
    return "".join(parts)


def _error_section(error):
    if not isinstance(error, dict):
        error = {"message": str(error)}
    message = error.get("message") or "The explanation failed without a message."
    code = error.get("code")
    lines = ['<div class="error"><p><strong>No explanation for this record.</strong></p>',
             '<p>{0}</p>'.format(_text(message))]
    if code:
        lines.append('<p class="code">Error code {0}</p>'.format(_text(code)))
    lines.append('</div>')
    return "".join(lines)


def _explanation_section(predictions, record, heading):
    if not predictions:
        return _error_section({"message": "The response holds neither predictions nor an error."})
    explained, others = predictions[0], predictions[1:]
    value = explained.get("value")
    probability = format_probability(explained.get("probability"))
    is_classification = bool(others) or explained.get("probability") is not None
    parts = ['<p class="outcome">Prediction: <strong>{0}</strong>'.format(_isolated(value))]
    if probability is not None:
        parts.append(' with probability <strong>{0}</strong>'.format(_text(probability)))
    parts.append('</p>')
    for other in others:
        other_probability = format_probability(other.get("probability"))
        parts.append('<p class="complement">Otherwise: {0}{1}</p>'.format(
            _isolated(other.get("value")),
            "" if other_probability is None else " (probability {0})".format(
                _text(other_probability))))
    caption = "Feature weights for the prediction {0} of {1}".format(_plain_text(value),
                                                                     heading)
    parts.append(_bar_chart(explained.get("explanation_features"), record, caption))
    if is_classification:
        raises = "raises the probability of {0}".format(_plain_text(value))
        lowers = "lowers it"
    else:
        raises, lowers = "raises the predicted value", "lowers it"
    parts.append('<p class="legend"><span class="swatch" style="background:{0}"></span>{1}'
                 '<span class="swatch" style="background:{2}"></span>{3}</p>'.format(
                     POSITIVE_COLOUR, _text(raises), NEGATIVE_COLOUR, _text(lowers)))
    if _explained_again(sorted_features(explained.get("explanation_features"))):
        parts.append('<p class="note">{0}</p>'.format(_text(_ZERO_WEIGHT_NOTE)))
    return "".join(parts)


def _record_table(record):
    rows = "".join('<tr><th>{0}</th><td>{1}</td></tr>'.format(_isolated(name), _isolated(value))
                   for name, value in record.items())
    return '<details><summary>Record values</summary><table>{0}</table></details>'.format(rows)


def _section(index, section):
    heading = _plain_text(section.heading)
    response = section.response if isinstance(section.response, dict) else {}
    parts = ['<section id="record-{0}"><h2>{1}</h2>'.format(index, _text(heading))]
    if "error" in response:
        parts.append(_error_section(response["error"]))
    else:
        parts.append(_explanation_section(response.get("predictions"), section.record, heading))
    if section.record:
        parts.append(_record_table(section.record))
    parts.append('</section>')
    return "".join(parts)


def _failed(response):
    """Whether a response explains nothing: an error, or no predictions at all."""
    return not isinstance(response, dict) or "error" in response \
        or not response.get("predictions")


def _index_entry(index, section):
    response = section.response
    if _failed(response):
        summary = '<span class="failed">failed</span>'
    else:
        summary = _isolated(response["predictions"][0].get("value"))
    return '<li><a href="#record-{0}">{1}</a>: {2}</li>'.format(
        index, _text(section.heading), summary)


def render_report(sections, title="Explanations", description=None):
    """The whole report as HTML text.

    ``sections`` is an iterable of ReportSection (or (heading, response[, record])
    tuples); ``description`` is an optional line under the title.
    """
    sections = [section if isinstance(section, ReportSection) else ReportSection(*section)
                for section in sections]
    failed = sum(1 for section in sections if _failed(section.response))
    summary = "{0} record{1} explained".format(len(sections) - failed,
                                               "" if len(sections) - failed == 1 else "s")
    if failed:
        summary += ", {0} failed".format(failed)
    parts = [
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
        # Nothing but the inline style may load, whatever ends up in the page.
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; '
        'style-src \'unsafe-inline\'">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        '<title>{0}</title><style>{1}</style></head><body>'.format(_text(title), _STYLE),
        '<h1>{0}</h1>'.format(_text(title)),
    ]
    if description:
        parts.append('<p class="meta">{0}</p>'.format(_text(description)))
    parts.append('<p class="meta">{0}.</p>'.format(_text(summary)))
    if len(sections) > 1:
        parts.append('<nav><ol>{0}</ol></nav>'.format(
            "".join(_index_entry(index, section) for index, section in enumerate(sections))))
    parts.extend(_section(index, section) for index, section in enumerate(sections))
    parts.append('</body></html>\n')
    return "".join(parts)


def write_report(path, sections, title="Explanations", description=None):
    """Write the report to ``path`` in one step: a failed run leaves no half-written file."""
    write_text_atomically(path, render_report(sections, title=title, description=description))
