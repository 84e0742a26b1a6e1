"""Where the report's charts put their bars and labels: the geometry, not the markup.

Each chart is laid out twice. The narrow layout is drawn in a coordinate space
``CHART_WIDTH`` wide and scaled to the page (at most 34rem wide): narrow enough
that its text stays readable on a phone, so its labels wrap early. The wide
layout, shown where the report is at least 48rem wide, is drawn one unit to the
pixel: its labels get the width they need, up to ``_WIDE.label_chars`` a line,
and its bars a fixed width after them. The templates turn these layouts into
inline SVG and show the one that fits.
"""
import textwrap
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

from veltra_utils.explainability.report._describe import (
    WeightedFeature,
    describe_feature,
    plain_text,
    sorted_features,
)
from veltra_utils.explainability.report._stability import Spread
from veltra_utils.explainability.utils.text import inert

# Blue and orange stay apart for the common kinds of colour blindness.
POSITIVE_COLOUR = "#2166ac"
NEGATIVE_COLOUR = "#d95f02"

CHART_WIDTH = 440
BAR_HEIGHT = 20
_BAR_GAP = 8
_VALUE_SPACE = 66        # room for the weight printed beside each bar (6 digits at 14px)
_CHAR_WIDTH = 7.8        # rough advance of a 14px sans-serif character
_LABEL_CHARS = 18        # characters on one line of a chart label
_LABEL_LINES = 3         # lines of a chart label before its middle is left out
_LINE_HEIGHT = 16
# Marks the label of a feature only some runs chose; a note under the chart says so.
DAGGER = "\u2020"


@dataclass(frozen=True)
class _Layout:
    """How wide a chart's labels may grow, and how its bars fill the rest.

    ``width`` fixes the whole chart (the narrow layout); when None the chart is
    as wide as its labels plus ``plot_width`` for the bars (the wide layout).
    """

    label_chars: int       # characters on one line of a chart label
    label_lines: int       # lines of a chart label before its middle is left out
    width: Optional[float] = None
    plot_width: float = 0.0


_NARROW = _Layout(_LABEL_CHARS, _LABEL_LINES, width=CHART_WIDTH)
_WIDE = _Layout(40, 2, plot_width=300)

# The overview's bars, one colour per predicted label (Okabe-Ito: told apart
# in the common kinds of colour blindness); labels past these share the grey.
_LABEL_COLOURS = ("#009e73", "#cc79a7", "#56b4e9", "#e69f00")
_OTHER_LABELS_COLOUR = "#8c8c8c"
_OVERVIEW_FEATURES = 15  # features in the overview chart
GROUP_BAR = 12
_COUNT_SPACE = 84        # room for the counts of raising and lowering weights
_SMALL_VALUE_SPACE = 44  # room for a mean weight in 12px digits

# (index in the report, the explained prediction's response entries) of each explained record.
Explained = Sequence[Tuple[int, Sequence[Mapping[str, Any]]]]


@dataclass(frozen=True)
class Label:
    """A chart label's lines, right-aligned at ``x``: [(text, y)], centred on ``middle``."""

    x: float
    middle: float
    lines: List[Tuple[str, float]]


@dataclass(frozen=True)
class Bar:
    """One feature's bar in a record's chart, with its weight printed beside it."""

    positive: bool
    description: str
    weight: float
    label: Label
    x: float
    top: float
    length: float
    colour: str
    value_x: float
    whisker: Optional[Tuple[float, float]] = None   # (left, right) of the weight's range
    spread: Optional[str] = None                    # that range in words


@dataclass(frozen=True)
class BarChart:
    """A chart's narrow layout, with its wide one in ``wide``."""

    height: float
    zero: float
    bars: List[Bar]
    width: float = CHART_WIDTH
    wide: Optional["BarChart"] = None


@dataclass(frozen=True)
class LabelGroup:
    """Records by predicted label: its text, colour and the records' indexes."""

    label: str
    colour: str
    indexes: List[int]
    rest: bool = False    # the labels past the palette, sharing one grey


@dataclass(frozen=True)
class GroupBar:
    group: LabelGroup
    mean: float
    top: float
    length: float


@dataclass(frozen=True)
class FeatureRow:
    name: str
    raised: int
    lowered: int
    label: Label
    bars: List[GroupBar]


@dataclass(frozen=True)
class OverviewChart:
    height: float
    plot_left: float
    raise_x: float
    lower_x: float
    axis_end: float
    rows: List[FeatureRow]
    left_out: int         # features with smaller weights not shown
    width: float = CHART_WIDTH
    wide: Optional["OverviewChart"] = None


def _label_lines(label: str, width: int = _LABEL_CHARS, most: int = _LABEL_LINES) -> List[str]:
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


def _label(lines: List[str], x: float, middle: float) -> Label:
    first = middle - (len(lines) - 1) * _LINE_HEIGHT / 2.0
    return Label(x, middle, [(line, first + row * _LINE_HEIGHT) for row, line in enumerate(lines)])


def _label_width(wrapped: List[List[str]], chars: int = _LABEL_CHARS) -> float:
    widest = max(len(line) for lines in wrapped for line in lines)
    return max(min(widest * _CHAR_WIDTH + 12, chars * _CHAR_WIDTH + 12), 100)


def _chart_width(layout: _Layout, label_width: float, margins: float) -> Tuple[float, float]:
    """(the chart's width, its bars' width) for labels ``label_width`` wide."""
    if layout.width is not None:
        return layout.width, layout.width - label_width - margins
    return label_width + margins + layout.plot_width, layout.plot_width


def bar_chart(rows: Sequence[WeightedFeature], record: Optional[Mapping[str, Any]],
              spreads: Optional[Mapping[str, Spread]] = None) -> Optional[BarChart]:
    """Horizontal bars around a zero line: positive weights right, negative left.

    ``rows`` come from ``sorted_features``; None when there are none to draw.
    ``spreads`` (feature name to its weights over several runs) adds a whisker
    from each weight's least to its greatest value, on the bars' scale, and
    marks the label of a feature only some runs chose with ``DAGGER``.
    """
    if not rows:
        return None
    descriptions = [describe_feature(feature, record) for feature, _ in rows]
    found = [None if spreads is None else spreads.get(str(feature.get("feature_name", "?")))
             for feature, _ in rows]
    wide = _bar_chart(rows, descriptions, found, _WIDE)
    narrow = _bar_chart(rows, descriptions, found, _NARROW)
    return BarChart(narrow.height, narrow.zero, narrow.bars, narrow.width, wide)


def _bar_chart(rows: Sequence[WeightedFeature], descriptions: List[str],
               found: Sequence[Optional[Spread]], layout: _Layout) -> BarChart:
    wrapped = [_label_lines(description + (" " + DAGGER if spread and spread.partial else ""),
                            layout.label_chars, layout.label_lines)
               for description, spread in zip(descriptions, found)]
    label_width = _label_width(wrapped, layout.label_chars)
    plot_left = label_width + _VALUE_SPACE
    width, plot_width = _chart_width(layout, label_width, 2 * _VALUE_SPACE)
    # The scale holds the whiskers too, which may reach past a bar and across zero.
    extents = [weight for _, weight in rows] + [end for spread in found if spread
                                                for end in (spread.low, spread.high)]
    has_negative = any(weight < 0 for weight in extents)
    has_positive = any(weight > 0 for weight in extents)
    if has_negative and has_positive:
        zero, half = plot_left + plot_width / 2.0, plot_width / 2.0
    elif has_negative:
        zero, half = plot_left + plot_width, plot_width
    else:
        zero, half = plot_left, plot_width
    largest = max(abs(weight) for weight in extents) or 1.0

    bars, top = [], float(_BAR_GAP)
    for (_, weight), description, lines, spread in zip(rows, descriptions, wrapped, found):
        row_height = max(BAR_HEIGHT, len(lines) * _LINE_HEIGHT)
        middle = top + row_height / 2.0
        length = abs(weight) / largest * half
        positive = weight >= 0
        reach, whisker = length, None
        if spread is not None and spread.chosen > 1:   # one run's weight has no range
            whisker = (zero + spread.low / largest * half, zero + spread.high / largest * half)
            reach = max(length, whisker[1] - zero if positive else zero - whisker[0])
        bars.append(Bar(
            positive=positive, description=description, weight=weight,
            label=_label(lines, label_width, middle),
            x=zero if positive else zero - length, top=middle - BAR_HEIGHT / 2.0,
            length=max(length, 1.0), colour=POSITIVE_COLOUR if positive else NEGATIVE_COLOUR,
            value_x=zero + reach + 4 if positive else zero - reach - 4, whisker=whisker,
            spread=None if spread is None else spread.text()))
        top += row_height + _BAR_GAP
    return BarChart(height=top, zero=zero, bars=bars, width=width)


def label_groups(explained: Explained, classification: bool) -> List[LabelGroup]:
    """The predicted labels with a colour each, most frequent first.

    Labels past the palette share one grey group, "other labels"; regression
    has a single group of every explained record.
    """
    if not classification:
        return [LabelGroup("every explained record", _LABEL_COLOURS[0],
                           [index for index, _ in explained])]
    by_label: Dict[str, List[int]] = {}
    for index, predictions in explained:
        by_label.setdefault(plain_text(predictions[0].get("value")), []).append(index)
    ranked = sorted(by_label.items(), key=lambda item: -len(item[1]))  # stable: first seen first
    groups = [LabelGroup(label, colour, indexes)
              for (label, indexes), colour in zip(ranked, _LABEL_COLOURS)]
    rest = [index for _, indexes in ranked[len(_LABEL_COLOURS):] for index in indexes]
    if rest:
        groups.append(LabelGroup("other labels", _OTHER_LABELS_COLOUR, sorted(rest), rest=True))
    return groups


def _feature_summary(explained: Explained) -> Dict[str, Tuple[Dict[int, float], int, int]]:
    """Per feature name: the summed absolute weight of each record, and its signs.

    {name: ({record index: |weight|}, raising records, lowering records)}
    """
    summary: Dict[str, Tuple[Dict[int, float], List[int], List[int]]] = {}
    for index, predictions in explained:
        for feature, weight in sorted_features(predictions[0].get("explanation_features")):
            name = str(feature.get("feature_name", "?"))
            magnitudes, up, down = summary.setdefault(name, ({}, [0], [0]))
            magnitudes[index] = magnitudes.get(index, 0.0) + abs(weight)
            if weight > 0:
                up[0] += 1
            elif weight < 0:
                down[0] += 1
    return {name: (magnitudes, up[0], down[0]) for name, (magnitudes, up, down) in summary.items()}


def overview_chart(explained: Explained, groups: List[LabelGroup]) -> Optional[OverviewChart]:
    """Grouped bars: each feature's mean absolute weight among the records of each label.

    None when the explanations hold no feature weights.
    """
    summary = _feature_summary(explained)
    if not summary:
        return None
    count = len(explained)
    ranked = sorted(summary.items(), key=lambda item: (-sum(item[1][0].values()) / count,
                                                       item[0]))
    shown = ranked[:_OVERVIEW_FEATURES]
    means = [[sum(magnitudes.get(index, 0.0) for index in group.indexes) / len(group.indexes)
              for group in groups] for _, (magnitudes, _, _) in shown]
    narrow = _overview_chart(shown, means, groups, _NARROW)
    wide = _overview_chart(shown, means, groups, _WIDE)
    return OverviewChart(narrow.height, narrow.plot_left, narrow.raise_x, narrow.lower_x,
                         narrow.axis_end, narrow.rows, len(ranked) - len(shown), narrow.width,
                         wide)


def _overview_chart(shown: Sequence[Tuple[str, Tuple[Dict[int, float], int, int]]],
                    means: List[List[float]], groups: List[LabelGroup],
                    layout: _Layout) -> OverviewChart:
    largest = max(max(row) for row in means) or 1.0
    wrapped = [_label_lines(name, layout.label_chars, layout.label_lines) for name, _ in shown]
    label_width = _label_width(wrapped, layout.label_chars)
    plot_left = label_width + 8
    width, plot_width = _chart_width(layout, label_width,
                                     8 + _SMALL_VALUE_SPACE + _COUNT_SPACE)
    top = 22.0
    group_height = len(groups) * (GROUP_BAR + 2) - 2
    rows = []
    for (name, (_, raised, lowered)), lines, row in zip(shown, wrapped, means):
        row_height = max(group_height, len(lines) * _LINE_HEIGHT)
        middle = top + row_height / 2.0
        bar_top = middle - group_height / 2.0
        bars = []
        for group, mean in zip(groups, row):
            bars.append(GroupBar(group, mean, bar_top, max(mean / largest * plot_width, 1.0)))
            bar_top += GROUP_BAR + 2
        rows.append(FeatureRow(name, raised, lowered, _label(lines, label_width, middle), bars))
        top += row_height + _BAR_GAP + 4
    return OverviewChart(height=top, plot_left=plot_left, raise_x=width - _COUNT_SPACE + 2,
                         lower_x=width - _COUNT_SPACE / 2.0 + 2, axis_end=top - _BAR_GAP,
                         rows=rows, left_out=0, width=width)

