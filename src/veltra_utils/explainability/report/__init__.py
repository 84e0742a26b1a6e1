"""A self-contained HTML report of explained records.

One section per record: the prediction and its probability, a bar chart of the
feature weights drawn as inline SVG, the complementary label, or the error that
stopped the explanation. Two or more records get an overview first: how many
were explained and why the others failed, the predictions by label, and each
feature's mean absolute weight by predicted label. ``Report`` shows the same in
a notebook. The page loads nothing from anywhere (no scripts, no
fonts, no images) and every piece of text is escaped, since feature names and
values come straight from the user's data.

    sections = [ReportSection("Row 0", explainer.explain(record, score), record)]
    write_report("report.html", sections, title="Churn model")
"""
import html
import itertools
import math
import numbers
import re
import textwrap
from collections import namedtuple
from collections.abc import Mapping

from veltra_utils.explainability.utils.files import write_text_atomically
from veltra_utils.explainability.utils.text import inert, shorten

__all__ = ["Report", "ReportSection", "describe_feature", "format_probability", "format_table",
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

# The label of the complementary prediction when it stands for every class but
# the explained one (multiclass problems), and how readers are told so.
OTHERS = "Others"
_OTHERS_NOTE = " (all other classes)"

# Charts are drawn in a coordinate space this wide and scaled to the page (at
# most 34rem wide): narrow enough that their text stays readable on a phone.
_CHART_WIDTH = 440
_BAR_HEIGHT = 20
_BAR_GAP = 8
_VALUE_SPACE = 66        # room for the weight printed beside each bar (6 digits at 14px)
_CHAR_WIDTH = 7.8        # rough advance of a 14px sans-serif character
_LABEL_CHARS = 18        # characters on one line of a chart label
_LABEL_LINES = 3         # lines of a chart label before its middle is left out
_LINE_HEIGHT = 16

# The overview's bars, one colour per predicted label (Okabe-Ito: told apart
# in the common kinds of colour blindness); labels past these share the grey.
_LABEL_COLOURS = ("#009e73", "#cc79a7", "#56b4e9", "#e69f00")
_OTHER_LABELS_COLOUR = "#8c8c8c"
_OVERVIEW_FEATURES = 15  # features in the overview chart
_GROUP_BAR = 12
_COUNT_SPACE = 84        # room for the counts of raising and lowering weights
_SMALL_VALUE_SPACE = 44  # room for a mean weight in 12px digits

# Every rule applies inside the report only, so a notebook showing it keeps its own look.
_STYLE = """
.veltra-report { font-family: system-ui, -apple-system, "Segoe UI", Roboto, Helvetica, Arial,
       sans-serif; margin: 2rem auto; max-width: 820px; padding: 0 1rem; color: #1a1a1a;
       background: #fff; overflow-wrap: anywhere; }
.veltra-report h1 { font-size: 1.5rem; margin-bottom: .25rem; }
.veltra-report .meta { color: #555; margin-top: 0; }
.veltra-report nav ol { columns: 14rem 3; padding-left: 3rem; }  /* room for "1000." */
.veltra-report section { border-top: 1px solid #ddd; padding: 1rem 0 1.5rem; }
.veltra-report h2 { font-size: 1.15rem; margin: 0 0 .5rem; }
.veltra-report h3 { font-size: 1rem; margin: 1rem 0 .4rem; }
.veltra-report .counts { margin: .25rem 0; }
.veltra-report ul { padding-left: 1.5rem; margin: .25rem 0; }
.veltra-report svg { display: block; width: 100%; max-width: 34rem; height: auto;
       margin-top: .5rem; }
.veltra-report .note { font-size: .85rem; color: #444; margin: .4rem 0 0; }
.veltra-report .outcome { font-size: 1.05rem; margin: .25rem 0; }
.veltra-report .complement { color: #444; margin: .25rem 0 .75rem; }
.veltra-report .legend { font-size: .85rem; color: #444; margin: .5rem 0 0; }
.veltra-report .swatch { display: inline-block; width: .8rem; height: .8rem; vertical-align: -1px;
       margin: 0 .3rem 0 .9rem; border-radius: 2px; }
.veltra-report .swatch:first-child { margin-left: 0; }
.veltra-report .error { background: #fdf0ef; border-left: 4px solid #b2182b;
       padding: .6rem .9rem; }
.veltra-report .error p { margin: .2rem 0; }
.veltra-report .code { color: #666; font-size: .85rem; }
.veltra-report .failed { color: #b2182b; }
.veltra-report details { margin-top: .5rem; font-size: .9rem; }
.veltra-report details table { border-collapse: collapse; margin-top: .3rem; }
.veltra-report details td, .veltra-report details th { text-align: left;
       padding: .1rem .8rem .1rem 0; }
.veltra-report .overview .swatch { margin-left: 0; }
.veltra-report .failures li { margin: .2rem 0; }
.veltra-report svg text { font-family: inherit; font-size: 14px; }
.veltra-report svg text.small { font-size: 12px; }
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
    if feature.get("is_missing"):
        return "{0} = missing".format(name)
    if feature.get("is_new_category"):
        return "{0} = {1} (new)".format(name, _plain_text(feature.get("feature_value")))
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


def format_table(heading, response, record=None):
    """One record's response as lines of text for a terminal, under ``heading`` ("row 3").

    ``record`` (feature name to value) fills in the values of numeric
    features described without a range.
    Everything from the data is shown escaped and shortened: a value can
    neither drive the terminal nor flood it. Numbers read as in the report.
    """
    if "error" in response:
        error = response["error"]
        return inert("{0}: FAILED ({1}) {2}".format(
            heading, error.get("code", "error"), shorten(error.get("message", ""), 1000))) + "\n"
    predictions = response.get("predictions") or [{}]
    explained = predictions[0]
    line = "{0}: prediction {1}".format(heading, shorten(_plain_text(explained.get("value"))))
    if explained.get("probability") is not None:
        line += ", probability {0}".format(format_probability(explained["probability"]))
    for other in predictions[1:]:
        line += "; otherwise {0}{1}".format(shorten(_plain_text(other.get("value"))),
                                            _OTHERS_NOTE if other.get("value") == OTHERS else "")
        if other.get("probability") is not None:
            line += " ({0})".format(format_probability(other["probability"]))
    rows = sorted_features(explained.get("explanation_features"))
    lines = [inert(line)]
    if rows:
        largest = max(abs(weight) for _, weight in rows) or 1.0
        labels = [inert(shorten(describe_feature(feature, record), 80)) for feature, _ in rows]
        width = max(len(label) for label in labels)
        lines.append("  {0:<{1}}  {2:>7}".format("feature", width, "weight"))
        for label, (_, weight) in zip(labels, rows):
            # A weight that prints as 0.000 gets no bar: it supports nothing.
            bar = "" if abs(weight) < 0.0005 else \
                ("+" if weight >= 0 else "-") * max(1, int(round(abs(weight) / largest * 20)))
            lines.append("  {0:<{1}}  {2:>+7.3f}  {3}".format(label, width, weight, bar).rstrip())
        if _explained_again(rows):
            lines.append("  " + _ZERO_WEIGHT_NOTE)
    if held_note(response):
        lines.append("  " + inert(shorten(held_note(response), 300)))
    return "\n".join(lines) + "\n"


def held_note(response):
    """The note under a record whose gaps were held, or None."""
    held = response.get("held_features")
    if not held:
        return None
    return ("Held missing: {0} (the training data had no gaps there, so every sample keeps "
            "the record's gap and it cannot weigh)".format(", ".join(map(str, held))))


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


def _label_lines(label, width=_LABEL_CHARS, most=_LABEL_LINES):
    """A chart label as at most ``most`` lines of at most ``width`` characters.

    Lines break at spaces where they can. A label too long even for that loses
    characters from its middle, never its end, so a range keeps its upper bound.
    """
    text = inert(label)
    limit = width * most
    if len(text) > limit:
        keep = limit - 1
        text = text[:keep - keep // 2] + "\u2026" + text[len(text) - keep // 2:]
    lines = textwrap.wrap(text, width, break_long_words=True, break_on_hyphens=False)
    if len(lines) > most:  # breaking at spaces wasted too much room
        lines = [text[start:start + width] for start in range(0, len(text), width)]
    return lines or [""]


def _label(lines, x, middle):
    """SVG text of a label's lines, right-aligned at ``x`` and centred on ``middle``."""
    if len(lines) == 1:
        return ('<text x="{0:.1f}" y="{1:.1f}" text-anchor="end" dominant-baseline="middle">'
                '{2}</text>'.format(x, middle, _text(lines[0])))
    first = middle - (len(lines) - 1) * _LINE_HEIGHT / 2.0
    return '<text text-anchor="end" dominant-baseline="middle">{0}</text>'.format("".join(
        '<tspan x="{0:.1f}" y="{1:.1f}">{2}</tspan>'.format(x, first + row * _LINE_HEIGHT,
                                                            _text(line))
        for row, line in enumerate(lines)))


def _label_width(wrapped):
    widest = max(len(line) for lines in wrapped for line in lines)
    return max(min(widest * _CHAR_WIDTH + 12, _LABEL_CHARS * _CHAR_WIDTH + 12), 100)


def _svg_open(width, height, caption):
    # No pixel size: the chart scales to the width of the page.
    return ('<svg xmlns="http://www.w3.org/2000/svg" role="img" width="100%" '
            'viewBox="0 0 {0} {1:.0f}" preserveAspectRatio="xMinYMin meet">'
            '<title>{2}</title>'.format(width, height, _text(caption)))


def _bar_chart(features, record, caption):
    """Horizontal bars around a zero line: positive weights right, negative left."""
    rows = sorted_features(features)
    if not rows:
        return "<p>The explanation holds no feature weights.</p>"
    labels = [describe_feature(feature, record) for feature, _ in rows]
    wrapped = [_label_lines(label) for label in labels]
    label_width = _label_width(wrapped)
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

    parts, top = [], _BAR_GAP
    for (feature, weight), label, lines in zip(rows, labels, wrapped):
        row_height = max(_BAR_HEIGHT, len(lines) * _LINE_HEIGHT)
        middle = top + row_height / 2.0
        bar_top = middle - _BAR_HEIGHT / 2.0
        length = abs(weight) / largest * half
        colour = POSITIVE_COLOUR if weight >= 0 else NEGATIVE_COLOUR
        x = zero if weight >= 0 else zero - length
        weight_text = "{0:+.3f}".format(weight)
        parts.append('<g class="{0}">'.format("positive" if weight >= 0 else "negative"))
        parts.append('<title>{0}: {1}</title>'.format(_text(label), _text(weight_text)))
        parts.append(_label(lines, label_width, middle))
        parts.append('<rect x="{0:.2f}" y="{1:g}" width="{2:.2f}" height="{3}" fill="{4}" '
                     'rx="2"/>'.format(x, bar_top, max(length, 1.0), _BAR_HEIGHT, colour))
        if weight >= 0:
            value_x, anchor = zero + length + 4, "start"
        else:
            value_x, anchor = zero - length - 4, "end"
        parts.append('<text x="{0:.1f}" y="{1:.1f}" text-anchor="{2}" dominant-baseline="middle" '
                     'fill="#333">{3}</text>'.format(value_x, middle, anchor, weight_text))
        parts.append('</g>')
        top += row_height + _BAR_GAP
    parts.append('<line x1="{0:.2f}" y1="0" x2="{0:.2f}" y2="{1:g}" stroke="#888" '
                 'stroke-width="1"/>'.format(zero, top))
    parts.append('</svg>')
    return _svg_open(_CHART_WIDTH, top, caption) + "".join(parts)


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


def _explanation_section(predictions, record, heading, held=None):
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
        parts.append('<p class="complement">Otherwise: {0}{1}{2}</p>'.format(
            _isolated(other.get("value")), _OTHERS_NOTE if other.get("value") == OTHERS else "",
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
    if held:
        parts.append('<p class="note">{0}</p>'.format(_text(held)))
    return "".join(parts)


def _record_table(record):
    rows = "".join('<tr><th>{0}</th><td>{1}</td></tr>'.format(_isolated(name), _isolated(value))
                   for name, value in record.items())
    return '<details><summary>Record values</summary><table>{0}</table></details>'.format(rows)


def _section(index, section, prefix=""):
    heading = _plain_text(section.heading)
    response = section.response if isinstance(section.response, dict) else {}
    parts = ['<section id="{0}record-{1}"><h2>{2}</h2>'.format(prefix, index, _text(heading))]
    if "error" in response:
        parts.append(_error_section(response["error"]))
    else:
        parts.append(_explanation_section(response.get("predictions"), section.record, heading,
                                          held_note(response)))
    if section.record:
        parts.append(_record_table(section.record))
    parts.append('</section>')
    return "".join(parts)


def _failed(response):
    """Whether a response explains nothing: an error, or no predictions at all."""
    return not isinstance(response, dict) or "error" in response \
        or not response.get("predictions")


def _is_classification(predictions):
    return len(predictions) > 1 or predictions[0].get("probability") is not None


def _index_entry(index, section, prefix=""):
    response = section.response
    if _failed(response):
        summary = '<span class="failed">failed</span>'
    else:
        explained = response["predictions"][0]
        summary = _isolated(explained.get("value"))
        probability = format_probability(explained.get("probability"))
        if probability is not None:
            summary += " ({0})".format(_text(probability))
    return '<li><a href="#{0}record-{1}">{2}</a>: {3}</li>'.format(
        prefix, index, _text(section.heading), summary)


# A failure message names the record's own values: quoted text ('plan',
# "gold"), or a number standing on its own (not the 2 of "2**63", the 3 of "x3").
_RECORD_VALUE = re.compile(r"""(?<!\w)'(?:[^'\\]|\\.)*'(?!\w)|(?<!\w)"(?:[^"\\]|\\.)*"(?!\w)"""
                           r"""|(?<![\w.*])[-+]?\d+(?:\.\d+)?(?:e[-+]?\d+)?(?![\w.*])""",
                           re.IGNORECASE)
# How every failure to explain starts; the reason follows it.
_FAILURE_PREAMBLE = "There was an error while computing the explanation. "


def _failure_message(response):
    """Why a response explains nothing, without the preamble every failure shares."""
    if not isinstance(response, dict):
        return "The response is not a mapping."
    if "error" not in response:
        return "The response holds neither predictions nor an error."
    error = response["error"]
    message = str((error.get("message") if isinstance(error, dict) else error)
                  or "The explanation failed without a message.")
    if message.startswith(_FAILURE_PREAMBLE) and len(message) > len(_FAILURE_PREAMBLE):
        message = message[len(_FAILURE_PREAMBLE):]
    return message


def failure_reason(response):
    """Why a response explains nothing, with the record's own values folded to "…".

    Failures that differ only in the values they quote share a reason: "The
    feature 'age' has no value" and "The feature 'plan' has no value" both read
    "The feature … has no value". Plain text, not escaped.
    """
    return _RECORD_VALUE.sub("\u2026", _failure_message(response))


def _failure_groups(sections, failed, prefix):
    """The failures grouped by reason, most frequent first, as list items.

    A reason all its records share word for word is shown whole; otherwise
    folded, with the first record's message as an example.
    """
    reasons = {}
    for index in failed:
        reasons.setdefault(failure_reason(sections[index].response), []).append(index)
    items = []
    for reason, indexes in sorted(reasons.items(), key=lambda item: -len(item[1])):
        messages = [_failure_message(sections[index].response) for index in indexes]
        if len(set(messages)) == 1:
            text = _text(shorten(messages[0], 300))
        else:
            text = '{0}<br><span class="note">e.g. {1}</span>'.format(
                _text(shorten(reason, 300)), _text(shorten(messages[0], 300)))
        items.append('<li><strong>{0}</strong>: {1}<br>{2}</li>'.format(
            _counted(len(indexes), "record"), text, _record_links(indexes, sections, prefix)))
    return "".join(items)


def _counted(count, noun):
    return "{0} {1}{2}".format(count, noun, "" if count == 1 else "s")


def _record_links(indexes, sections, prefix, most=10):
    links = ", ".join('<a href="#{0}record-{1}">{2}</a>'.format(
        prefix, index, _text(sections[index].heading)) for index in indexes[:most])
    if len(indexes) > most:
        links += " and {0} more".format(len(indexes) - most)
    return links


def _label_groups(explained, classification):
    """The predicted labels with a colour each, most frequent first: [(text, colour, indexes)].

    Labels past the palette share one grey group, "other labels"; regression
    has a single group of every explained record.
    """
    if not classification:
        return [("every explained record", _LABEL_COLOURS[0], [i for i, _ in explained])]
    by_label = {}
    for index, predictions in explained:
        by_label.setdefault(_plain_text(predictions[0].get("value")), []).append(index)
    ranked = sorted(by_label.items(), key=lambda item: -len(item[1]))  # stable: first seen first
    groups = [(label, colour, indexes)
              for (label, indexes), colour in zip(ranked, _LABEL_COLOURS)]
    rest = [index for _, indexes in ranked[len(_LABEL_COLOURS):] for index in indexes]
    if rest:
        groups.append(("other labels", _OTHER_LABELS_COLOUR, sorted(rest)))
    return groups


def _feature_summary(explained):
    """Per feature name: the summed absolute weight of each record, and its signs.

    {name: ({record index: |weight|}, raising records, lowering records)}
    """
    summary = {}
    for index, predictions in explained:
        for feature, weight in sorted_features(predictions[0].get("explanation_features")):
            name = str(feature.get("feature_name", "?"))
            magnitudes, _, _ = entry = summary.setdefault(name, ({}, [0], [0]))
            magnitudes[index] = magnitudes.get(index, 0.0) + abs(weight)
            if weight > 0:
                entry[1][0] += 1
            elif weight < 0:
                entry[2][0] += 1
    return {name: (magnitudes, up[0], down[0]) for name, (magnitudes, up, down) in summary.items()}


def _overview_chart(explained, groups, classification):
    """Grouped bars: each feature's mean absolute weight among the records of each label."""
    summary = _feature_summary(explained)
    if not summary:
        return "<p>The explanations hold no feature weights.</p>"
    count = len(explained)
    ranked = sorted(summary.items(), key=lambda item: (-sum(item[1][0].values()) / count,
                                                       item[0]))
    shown = ranked[:_OVERVIEW_FEATURES]
    means = [[sum(magnitudes.get(index, 0.0) for index in indexes) / len(indexes)
              for _, _, indexes in groups] for _, (magnitudes, _, _) in shown]
    largest = max(max(row) for row in means) or 1.0
    wrapped = [_label_lines(name) for name, _ in shown]
    label_width = _label_width(wrapped)
    plot_left = label_width + 8
    plot_width = _CHART_WIDTH - plot_left - _SMALL_VALUE_SPACE - _COUNT_SPACE
    raise_x = _CHART_WIDTH - _COUNT_SPACE + 2
    lower_x = _CHART_WIDTH - _COUNT_SPACE / 2.0 + 2
    parts = ['<text x="{0:.1f}" y="12" class="small" fill="#555">mean |weight|</text>'
             '<text x="{1:.1f}" y="12" class="small" fill="{2}">raises</text>'
             '<text x="{3:.1f}" y="12" class="small" fill="{4}">lowers</text>'.format(
                 plot_left, raise_x, POSITIVE_COLOUR, lower_x, NEGATIVE_COLOUR)]
    top = 22
    group_height = len(groups) * (_GROUP_BAR + 2) - 2
    for (name, (_, raised, lowered)), lines, row in zip(shown, wrapped, means):
        row_height = max(group_height, len(lines) * _LINE_HEIGHT)
        middle = top + row_height / 2.0
        parts.append('<g class="feature"><title>{0}: raises the prediction in {1}, lowers it '
                     'in {2}</title>'.format(_text(name), _counted(raised, "record"),
                                             _counted(lowered, "record")))
        parts.append(_label(lines, label_width, middle))
        bar_top = middle - group_height / 2.0
        for (label, colour, indexes), mean in zip(groups, row):
            length = mean / largest * plot_width
            parts.append('<g><title>{5}: mean |weight| {6:.3f} over the {7} {8}</title>'
                         '<rect x="{0:.1f}" y="{1:.1f}" width="{2:.1f}" height="{3}" '
                         'fill="{4}" rx="2"/></g>'.format(
                             plot_left, bar_top, max(length, 1.0), _GROUP_BAR, colour,
                             _text(name), mean, _counted(len(indexes), "record"),
                             _text("predicted " + label if classification else "explained")))
            parts.append('<text x="{0:.1f}" y="{1:.1f}" class="small" dominant-baseline="middle" '
                         'fill="#333">{2:.3f}</text>'.format(
                             plot_left + max(length, 1.0) + 4, bar_top + _GROUP_BAR / 2.0, mean))
            bar_top += _GROUP_BAR + 2
        parts.append('<text x="{0:.1f}" y="{1:.1f}" dominant-baseline="middle" fill="{2}">{3}'
                     '</text><text x="{4:.1f}" y="{1:.1f}" dominant-baseline="middle" fill="{5}">'
                     '{6}</text>'.format(raise_x, middle, POSITIVE_COLOUR, raised, lower_x,
                                         NEGATIVE_COLOUR, lowered))
        parts.append('</g>')
        top += row_height + _BAR_GAP + 4
    parts.append('<line x1="{0:.1f}" y1="18" x2="{0:.1f}" y2="{1:g}" stroke="#888" '
                 'stroke-width="1"/></svg>'.format(plot_left, top - _BAR_GAP))
    chart = _svg_open(_CHART_WIDTH, top, "Mean absolute feature weights by predicted label") \
        + "".join(parts)
    if len(ranked) > len(shown):
        chart += '<p class="note">{0} with smaller weights not shown.</p>'.format(
            _counted(len(ranked) - len(shown), "more feature"))
    return chart


def _overview(sections, prefix=""):
    """Counts, failure reasons, the features across records, and the list of records."""
    explained = [(index, section.response["predictions"])
                 for index, section in enumerate(sections) if not _failed(section.response)]
    failed = [index for index, section in enumerate(sections) if _failed(section.response)]
    parts = ['<section id="{0}overview" class="overview"><h2>Overview</h2>'.format(prefix),
             '<p class="counts">{0}: <strong>{1}</strong> explained, <strong>{2}</strong> '
             'failed.</p>'.format(_counted(len(sections), "record"), len(explained),
                                  len(failed))]
    classification = any(_is_classification(predictions) for _, predictions in explained)
    groups = _label_groups(explained, classification)
    if classification:
        parts.append('<h3>Predictions</h3><ul class="labels">')
        parts.extend('<li><span class="swatch" style="background:{0}"></span>{1}: {2}</li>'
                     .format(colour, _isolated(label) if label != "other labels" else label,
                             _counted(len(indexes), "record"))
                     for label, colour, indexes in groups)
        parts.append('</ul>')
    elif explained:
        values = [float(predictions[0]["value"]) for _, predictions in explained
                  if isinstance(predictions[0].get("value"), numbers.Real)
                  and not isinstance(predictions[0].get("value"), bool)]
        if values:
            parts.append('<p>Predicted values from <strong>{0}</strong> to <strong>{1}</strong>'
                         ', mean <strong>{2}</strong>.</p>'.format(
                             _number(min(values)), _number(max(values)),
                             _number(math.fsum(values) / len(values))))
    if failed:
        parts.append('<h3>Failures</h3><ul class="failures">{0}</ul>'.format(
            _failure_groups(sections, failed, prefix)))
    if explained:
        parts.append('<h3>Features across the explained records</h3>')
        parts.append(_overview_chart(explained, groups, classification))
        parts.append('<p class="note">Bars: the mean absolute weight of the feature over the '
                     '{0} (0 where a record\'s explanation leaves the feature out). Raises, '
                     'lowers: in how many records the feature raised or lowered the {1}.</p>'
                     .format("records of each predicted label" if classification
                             else "explained records",
                             "probability of the predicted label" if classification
                             else "predicted value"))
    parts.append('<h3>Records</h3><nav><ol>{0}</ol></nav>'.format(
        "".join(_index_entry(index, section, prefix) for index, section in enumerate(sections))))
    parts.append('</section>')
    return "".join(parts)


def _sections(sections):
    return [section if isinstance(section, ReportSection) else ReportSection(*section)
            for section in sections]


def _content(sections, title, description, prefix=""):
    """The report inside its own element, for a page or a notebook cell."""
    failed = sum(1 for section in sections if _failed(section.response))
    summary = "{0} record{1} explained".format(len(sections) - failed,
                                               "" if len(sections) - failed == 1 else "s")
    if failed:
        summary += ", {0} failed".format(failed)
    parts = ['<div class="veltra-report"><h1>{0}</h1>'.format(_text(title))]
    if description:
        parts.append('<p class="meta">{0}</p>'.format(_text(description)))
    parts.append('<p class="meta">{0}.</p>'.format(_text(summary)))
    if len(sections) > 1:
        parts.append(_overview(sections, prefix))
    parts.extend(_section(index, section, prefix) for index, section in enumerate(sections))
    parts.append('</div>')
    return "".join(parts)


def render_report(sections, title="Explanations", description=None):
    """The whole report as HTML text.

    ``sections`` is an iterable of ReportSection (or (heading, response[, record])
    tuples); ``description`` is an optional line under the title. Two or more
    records get an overview first: counts, failure reasons, the features across
    records and a list of the records with their predictions.
    """
    return "".join([
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">',
        # Nothing but the inline style may load, whatever ends up in the page.
        '<meta http-equiv="Content-Security-Policy" content="default-src \'none\'; '
        'style-src \'unsafe-inline\'">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        '<title>{0}</title><style>body {{ margin: 0; background: #fff; }}{1}</style></head>'
        '<body>'.format(_text(title), _STYLE),
        _content(_sections(sections), title, description),
        '</body></html>\n'])


def write_report(path, sections, title="Explanations", description=None):
    """Write the report to ``path`` in one step: a failed run leaves no half-written file."""
    write_text_atomically(path, render_report(sections, title=title, description=description))


class Report:
    """The report of a batch of explanations: shown inline in Jupyter, or saved as a page.

        responses = explain_records(frame, score, config)
        Report(responses, records=frame, title="Churn model")          # a notebook shows it
        Report(responses, records=frame).save("report.html")

    ``records`` (a DataFrame, or mappings of feature name to value, in the
    order of ``responses``) lets the charts name the records' values;
    ``headings`` names the records (default: "Row <index>" for a DataFrame,
    "Record <position>" otherwise). The page is the one ``write_report`` writes.
    """

    _shown = itertools.count()  # each display's links must lead to its own records

    def __init__(self, responses, records=None, title="Explanations", headings=None,
                 description=None):
        responses = list(responses)
        if records is None:
            records = [None] * len(responses)
            default_headings = ["Record {0}".format(index) for index in range(len(responses))]
        elif hasattr(records, "to_dict") and hasattr(records, "index"):  # a DataFrame
            default_headings = ["Row {0}".format(_plain_text(label)) for label in records.index]
            records = records.to_dict("records")
        else:
            records = list(records)
            default_headings = ["Record {0}".format(index) for index in range(len(responses))]
        headings = default_headings if headings is None else list(headings)
        for name, values in (("records", records), ("headings", headings)):
            if len(values) != len(responses):
                raise ValueError("{0} {1} for {2}: there must be one per response".format(
                    len(values), name, _counted(len(responses), "response")))
        for record in records:
            if record is not None and not isinstance(record, Mapping):
                raise TypeError("a record must map feature names to values, not {0}".format(
                    type(record).__name__))
        self.sections = [ReportSection(heading, response, None if record is None else
                                       dict(record))
                         for heading, response, record in zip(headings, responses, records)]
        self.title = title
        self.description = description

    def to_html(self):
        """The report as a whole HTML page."""
        return render_report(self.sections, title=self.title, description=self.description)

    def save(self, path):
        """Write the page to ``path`` in one step, as ``write_report`` does."""
        write_report(path, self.sections, title=self.title, description=self.description)

    def _repr_html_(self):
        # The report's own element and its scoped style: the notebook keeps its look.
        prefix = "veltra-{0}-".format(next(Report._shown))
        return "<style>{0}</style>{1}".format(
            _STYLE, _content(self.sections, self.title, self.description, prefix))

    def __repr__(self):
        failed = sum(1 for section in self.sections if _failed(section.response))
        return "<Report {0!r}: {1}, {2} failed>".format(
            self.title, _counted(len(self.sections), "record"), failed)
