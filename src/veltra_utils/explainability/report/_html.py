"""The report as an HTML page, or as a notebook cell.

The markup lives in the templates next to this module; this module reads the
responses into what the templates show. Every value a template prints goes
through ``_escaped``: escaped for HTML content and attribute values alike, its
control characters and bidirectional overrides shown as escapes.
"""
import html
import itertools
import math
import numbers
import os
import re
from collections import namedtuple
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import jinja2
from markupsafe import Markup

from veltra_utils.explainability.report._charts import (
    BAR_HEIGHT,
    DAGGER,
    GROUP_BAR,
    NEGATIVE_COLOUR,
    POSITIVE_COLOUR,
    BarChart,
    LabelGroup,
    OverviewChart,
    bar_chart,
    label_groups,
    overview_chart,
)
from veltra_utils.explainability.report._describe import (
    counted,
    describe_feature,
    error_fields,
    failed,
    failure_message,
    failure_reason,
    format_probability,
    held_note,
    is_classification,
    label_text,
    left_out,
    not_predicted_note,
    number,
    plain_text,
    sorted_features,
    weights_note,
)
from veltra_utils.explainability.report._stability import (
    as_stability,
    elsewhere,
    fit,
    partial_features,
    poor_fit,
    spreads,
    verdict,
    whisker_note,
)
from veltra_utils.explainability.utils.files import write_text_atomically
from veltra_utils.explainability.utils.text import inert, shorten

ReportSection = namedtuple("ReportSection", ["heading", "response", "record", "stability"])
ReportSection.__new__.__defaults__ = (None, None)
ReportSection.__doc__ = """One record of the report.

``heading`` names the record (e.g. "Row 3"), ``response`` is the explainer's
dumped response (``{"predictions": [...]}`` or ``{"error": {...}}``) and
``record``, when given, maps feature names to the record's values so the chart
labels can show them. ``stability``, when given, is how the explanation held
up when the record was explained again with other seeds (``Stability.to_dict()``,
or the ``Stability`` itself): the section then says whether it is stable and how
well the local model fits, and the chart's bars get whiskers.
"""

# A section, or a (heading, response[, record[, stability]]) tuple standing for one.
SectionLike = Union[ReportSection, Sequence[Any]]

# Links from a failure reason to the records that failed for it.
_MOST_LINKS = 10
# Characters of a failure message or reason the overview quotes.
_REASON_LIMIT = 300

_TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")
_LINE_BREAK = re.compile(r"\n[ \t]+")


def _escaped(value: Any) -> Markup:
    """Every value a template prints: escaped text, or markup a template already built.

    Gaps read "missing" and floats in short form, as everywhere in the report.
    """
    if isinstance(value, Markup):
        return value
    return Markup(html.escape(inert(plain_text(value), keep_newlines=True), quote=True))


class _Loader(jinja2.FileSystemLoader):
    """Loads the templates with each line break followed by indentation dropped.

    The templates are indented for reading, and the page gets no whitespace
    between its tags, where it could show as a space. A line at the margin
    keeps its line break.
    """

    def get_source(self, environment: jinja2.Environment,
                   template: str) -> Tuple[str, str, Callable[[], bool]]:
        source, filename, uptodate = super().get_source(environment, template)
        if template.endswith(".html"):
            source = _LINE_BREAK.sub("", source)
        return source, filename, uptodate


def _environment() -> jinja2.Environment:
    environment = jinja2.Environment(
        loader=_Loader(_TEMPLATES, encoding="utf-8"), autoescape=True,
        undefined=jinja2.StrictUndefined, finalize=_escaped, keep_trailing_newline=True)
    environment.filters.update(
        fixed=lambda value, digits: format(value, ".{0}f".format(digits)),
        g=lambda value: format(value, "g"),
        signed=lambda value: format(value, "+.3f"),
        counted=counted)
    environment.globals.update(
        bar_height=BAR_HEIGHT, group_bar=GROUP_BAR,
        positive_colour=POSITIVE_COLOUR, negative_colour=NEGATIVE_COLOUR,
        most_links=_MOST_LINKS, dagger=DAGGER)
    return environment


_ENVIRONMENT = _environment()


@dataclass(frozen=True)
class _Failure:
    message: Any
    code: Any = None


@dataclass(frozen=True)
class _Prediction:
    value: Any
    probability: Optional[str]


@dataclass(frozen=True)
class _Record:
    """One record's section, and its entry in the overview's list."""

    index: int
    heading: str
    values: List[Tuple[Any, Any]]
    failure: Optional[_Failure] = None
    prediction: Optional[_Prediction] = None
    others: Tuple[_Prediction, ...] = ()
    classification: bool = False
    chart: Optional[BarChart] = None
    caption: str = ""
    weights: str = ""                   # what a weight means
    left_out: Tuple[str, ...] = ()      # features against the prediction, not drawn
    not_predicted: Optional[str] = None
    held: Optional[str] = None
    stability: Optional["_Stability"] = None


@dataclass(frozen=True)
class _Stability:
    """What a record's section shows of its stability: plain text throughout."""

    stable: bool
    verdict: Tuple[str, str]                # ("Unstable:", " the same top 3 features ...")
    fit: Optional[Tuple[str, str]]          # ("Poor fit:", " the local linear model ..."), or
    poor: bool                              # ("", "At this record ...") without an R²
    whiskers: Optional[str]                 # what the whiskers mean, when a bar has one
    partial: List[Tuple[str, str]]          # (feature, "in 3 of 6 runs"), marked in the chart
    elsewhere: List[Tuple[str, str]]        # features only other runs chose


@dataclass(frozen=True)
class _FailureGroup:
    """Records failing for one reason; ``example`` when their messages differ."""

    indexes: List[int]
    text: str
    example: Optional[str]


@dataclass(frozen=True)
class _Overview:
    explained: int
    failed: int
    classification: bool
    groups: List[LabelGroup]
    values: Optional[Tuple[str, str, str]]    # regression: lowest, highest, mean
    failures: List[_FailureGroup]
    chart: Optional[OverviewChart]
    checked: int = 0                        # explained records with a stability
    unstable: Tuple[int, ...] = ()
    poor: Tuple[int, ...] = ()


@dataclass(frozen=True)
class _View:
    title: Any
    description: Any
    summary: str
    records: List[_Record]
    overview: Optional[_Overview]

    @property
    def stability(self) -> bool:
        """Whether any record shows a stability: its styles join the page then."""
        return any(record.stability is not None for record in self.records)


def _record(index: int, section: ReportSection) -> _Record:
    heading = plain_text(section.heading)
    values = list(section.record.items()) if section.record else []
    response = section.response if isinstance(section.response, dict) else {}
    if "error" in response:
        error = error_fields(response["error"])
        return _Record(index, heading, values, failure=_Failure(
            error.get("message") or "The explanation failed without a message.",
            error.get("code")))
    predictions = response.get("predictions")
    if not predictions:
        return _Record(index, heading, values, failure=_Failure(
            "The response holds neither predictions nor an error."))
    explained, others = predictions[0], predictions[1:]
    value = explained.get("value")
    features = sorted_features(explained.get("explanation_features"))
    rows, against = left_out(features)
    classification = is_classification(predictions)
    stability = as_stability(section.stability)
    found = spreads(stability) if stability is not None else None
    return _Record(
        index, heading, values,
        prediction=_Prediction(value, format_probability(explained.get("probability"))),
        others=tuple(_Prediction(label_text(other.get("value")),
                                 format_probability(other.get("probability")))
                     for other in others),
        classification=classification,
        chart=bar_chart(rows, section.record, found),
        caption="Feature weights for the prediction {0} of {1}".format(plain_text(value),
                                                                       heading),
        weights=weights_note(value, classification) if rows else "",
        left_out=tuple(describe_feature(feature, section.record) for feature in against),
        not_predicted=not_predicted_note(predictions), held=held_note(response),
        stability=None if stability is None else _stability(
            stability, [_name(feature) for feature, _ in features], [_name(feature) for
                                                                    feature, _ in rows],
            label_text(value) if classification else None))


def _headed(text: str) -> Tuple[str, str]:
    """("Stable:", " the rest") of a sentence that starts with its verdict, else ("", text)."""
    head, colon, rest = text.partition(": ")
    if colon and head in ("Stable", "Unstable", "Fit", "Poor fit"):
        return head + ":", " " + rest
    return "", text


def _name(feature: Mapping[str, Any]) -> str:
    return str(feature.get("feature_name", "?"))


def _stability(stability: Mapping[str, Any], names: List[str], drawn: List[str],
               label: Optional[str]) -> _Stability:
    """A record's stability as its section shows it; ``names`` are its explanation's
    features, ``drawn`` those with a bar."""
    found = spreads(stability)
    fitted = fit(stability, label)
    return _Stability(
        stable=stability.get("stable") is True, verdict=_headed(verdict(stability, len(names))),
        fit=None if fitted is None else _headed(fitted), poor=poor_fit(stability),
        whiskers=whisker_note(stability) if any(
            name in found and found[name].chosen > 1 for name in drawn) else None,
        partial=partial_features(drawn, found), elsewhere=elsewhere(names, found))


def _failure_groups(sections: Sequence[ReportSection],
                    failures: Sequence[int]) -> List[_FailureGroup]:
    """The failures grouped by reason, most frequent first.

    A reason all its records share word for word is shown whole; otherwise
    folded, with the first record's message as an example.
    """
    reasons: Dict[str, List[int]] = {}
    for index in failures:
        reasons.setdefault(failure_reason(sections[index].response), []).append(index)
    groups = []
    for reason, indexes in sorted(reasons.items(), key=lambda item: -len(item[1])):
        messages = [failure_message(sections[index].response) for index in indexes]
        example = shorten(messages[0], _REASON_LIMIT)
        if len(set(messages)) == 1:
            groups.append(_FailureGroup(indexes, example, None))
        else:
            groups.append(_FailureGroup(indexes, shorten(reason, _REASON_LIMIT), example))
    return groups


def _overview(sections: Sequence[ReportSection]) -> _Overview:
    explained = [(index, section.response["predictions"])
                 for index, section in enumerate(sections) if not failed(section.response)]
    failures = [index for index, section in enumerate(sections) if failed(section.response)]
    classification = any(is_classification(predictions) for _, predictions in explained)
    values = None
    if explained and not classification:
        numeric = [float(predictions[0]["value"]) for _, predictions in explained
                   if isinstance(predictions[0].get("value"), numbers.Real)
                   and not isinstance(predictions[0].get("value"), bool)]
        if numeric:
            values = (number(min(numeric)), number(max(numeric)),
                      number(math.fsum(numeric) / len(numeric)))
    groups = label_groups(explained, classification)
    checked = [(index, stability) for index, stability in (
        (index, as_stability(sections[index].stability)) for index, _ in explained)
        if stability is not None]
    return _Overview(explained=len(explained), failed=len(failures),
                     classification=classification, groups=groups, values=values,
                     failures=_failure_groups(sections, failures),
                     chart=overview_chart(explained, groups) if explained else None,
                     checked=len(checked),
                     unstable=tuple(index for index, stability in checked
                                    if stability.get("stable") is not True),
                     poor=tuple(index for index, stability in checked if poor_fit(stability)))


def _view(sections: Sequence[ReportSection], title: Any, description: Any) -> _View:
    failures = sum(1 for section in sections if failed(section.response))
    summary = "{0} record{1} explained".format(len(sections) - failures,
                                               "" if len(sections) - failures == 1 else "s")
    if failures:
        summary += ", {0} failed".format(failures)
    return _View(title=title, description=description, summary=summary,
                 records=[_record(index, section) for index, section in enumerate(sections)],
                 overview=_overview(sections) if len(sections) > 1 else None)


def _sections(sections: Iterable[SectionLike]) -> List[ReportSection]:
    return [section if isinstance(section, ReportSection) else ReportSection(*section)
            for section in sections]


def render_report(sections: Iterable[SectionLike], title: Any = "Explanations",
                  description: Any = None) -> str:
    """The whole report as HTML text.

    ``sections`` is an iterable of ReportSection (or (heading, response[, record])
    tuples); ``description`` is an optional line under the title. Two or more
    records get an overview first: counts, failure reasons, the features across
    records and a list of the records with their predictions.
    """
    view = _view(_sections(sections), title, description)
    return _ENVIRONMENT.get_template("page.html").render(view=view)


def write_report(path: str, sections: Iterable[SectionLike], title: Any = "Explanations",
                 description: Any = None) -> None:
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
    "Record <position>" otherwise). ``stabilities``, one per response (None where
    there is none), shows how each explanation held up when its record was
    explained again (``Stability`` objects or their ``to_dict()``):

        results = [stability(record, score, config) for record in records]
        Report([result.explanation for result in results], stabilities=results)

    The page is the one ``write_report`` writes.
    """

    _shown = itertools.count()  # each display's links must lead to its own records

    def __init__(self, responses: Iterable[Mapping[str, Any]], records: Any = None,
                 title: Any = "Explanations", headings: Optional[Iterable[Any]] = None,
                 description: Any = None, stabilities: Optional[Iterable[Any]] = None) -> None:
        responses = list(responses)
        if records is None:
            records = [None] * len(responses)
            default_headings = ["Record {0}".format(index) for index in range(len(responses))]
        elif hasattr(records, "to_dict") and hasattr(records, "index"):  # a DataFrame
            default_headings = ["Row {0}".format(plain_text(label)) for label in records.index]
            records = records.to_dict("records")
        else:
            records = list(records)
            default_headings = ["Record {0}".format(index) for index in range(len(responses))]
        headings = default_headings if headings is None else list(headings)
        stabilities = [None] * len(responses) if stabilities is None else list(stabilities)
        for name, values in (("records", records), ("headings", headings),
                             ("stabilities", stabilities)):
            if len(values) != len(responses):
                raise ValueError("{0} {1} for {2}: there must be one per response".format(
                    len(values), name, counted(len(responses), "response")))
        for record in records:
            if record is not None and not isinstance(record, Mapping):
                raise TypeError("a record must map feature names to values, not {0}".format(
                    type(record).__name__))
        self.sections = [ReportSection(heading, response, None if record is None else
                                       dict(record), stability)
                         for heading, response, record, stability
                         in zip(headings, responses, records, stabilities)]
        self.title = title
        self.description = description

    def to_html(self) -> str:
        """The report as a whole HTML page."""
        return render_report(self.sections, title=self.title, description=self.description)

    def save(self, path: str) -> None:
        """Write the page to ``path`` in one step, as ``write_report`` does."""
        write_report(path, self.sections, title=self.title, description=self.description)

    def _repr_html_(self) -> str:
        prefix = "veltra-{0}-".format(next(Report._shown))
        return _ENVIRONMENT.get_template("notebook.html").render(
            view=_view(self.sections, self.title, self.description), prefix=prefix)

    def __repr__(self) -> str:
        failures = sum(1 for section in self.sections if failed(section.response))
        return "<Report {0!r}: {1}, {2} failed>".format(
            self.title, counted(len(self.sections), "record"), failures)
