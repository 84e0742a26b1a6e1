"""The HTML report: escaping, the bar chart's order and colours, error sections."""
import os
import re
from html import unescape

import pytest

from veltra_utils.explainability.report import (
    NEGATIVE_COLOUR,
    POSITIVE_COLOUR,
    Report,
    ReportSection,
    describe_feature,
    failure_reason,
    format_probability,
    format_table,
    render_report,
    write_report,
)

HOSTILE = '<img src=x onerror="alert(1)">&amp;\'"'


def _feature(name, weight, **extra):
    return dict(feature_name=name, weight=weight, is_categorical=False, **extra)


def _response(features, value="yes", probability=0.8, other="no"):
    predictions = [{"value": value, "probability": probability,
                    "explanation_features": features}]
    if other is not None:
        predictions.append({"value": other, "probability": 1 - probability})
    return {"predictions": predictions}


def _layout(html, kind="narrow"):
    """The report with only the charts of one layout, narrow or wide."""
    other = "wide" if kind == "narrow" else "narrow"
    return re.sub(r'<svg [^>]*class="{0}".*?</svg>'.format(other), "", html, flags=re.S)


def _bars(html):
    """(label, fill) of each bar in document order, in the narrow charts."""
    return re.findall(r'text-anchor="end" dominant-baseline="middle">([^<]*)</text>'
                      r'<rect [^>]*fill="([^"]+)"', _layout(html))


def test_every_piece_of_user_text_is_escaped():
    features = [dict(feature_name=HOSTILE, weight=0.6, feature_value=HOSTILE,
                     is_categorical=True),
                _feature("x</svg>", -0.4, feature_range={"min": 1.0, "max": None})]
    sections = [ReportSection(HOSTILE, _response(features, value=HOSTILE, other=HOSTILE),
                              {HOSTILE: HOSTILE}),
                ReportSection("error", {"error": {"code": HOSTILE, "message": HOSTILE}})]
    html = render_report(sections, title=HOSTILE, description=HOSTILE)
    assert "<img" not in html and "onerror=\"" not in html and "x</svg>" not in html
    assert "&amp;amp;" in html            # an already-escaped entity is escaped again
    escaped = "&lt;img src=x onerror=&quot;alert(1)&quot;&gt;&amp;amp;&#x27;&quot;"
    # title, heading, description, index, prediction, complement, chart labels, record, error
    assert html.count(escaped) >= 10


def test_bars_are_sorted_by_magnitude_and_coloured_by_sign():
    features = [_feature("small", 0.05), _feature("big_negative", -0.5),
                _feature("mid", 0.3), _feature("tie_a", -0.15), _feature("tie_b", 0.15)]
    html = render_report([("Row 0", _response(features))])
    assert _bars(html) == [("big_negative", NEGATIVE_COLOUR), ("mid", POSITIVE_COLOUR),
                           ("tie_a", NEGATIVE_COLOUR), ("tie_b", POSITIVE_COLOUR),
                           ("small", POSITIVE_COLOUR)]
    html = _layout(html)
    widths = [float(width) for width in re.findall(r'<rect [^>]*width="([\d.]+)"', html)]
    assert widths == sorted(widths, reverse=True)
    assert [width / widths[0] for width in widths] == pytest.approx([1, 0.6, 0.3, 0.3, 0.1])
    # Negative bars end at the zero line, positive ones start there.
    zero = float(re.search(r'<line x1="([\d.]+)"', html).group(1))
    rects = re.findall(r'<rect x="([\d.]+)" y="\d+" width="([\d.]+)"', html)
    assert float(rects[0][0]) + float(rects[0][1]) == pytest.approx(zero)
    assert float(rects[1][0]) == pytest.approx(zero)


def test_unusable_weights_are_left_out_and_an_empty_chart_says_so():
    features = [_feature("nan", None), _feature("text", "0.3"), _feature("ok", -0.2)]
    assert [label for label, _ in _bars(render_report([("r", _response(features))]))] == ["ok"]
    assert "holds no feature weights" in render_report([("r", _response([]))])


def test_error_and_malformed_responses_read_as_failures():
    error = {"error": {"code": "KTRES1001E", "message": "The feature 'age' has no value",
                       "target": {"type": "field", "name": "lime"}}}
    html = render_report([("Row 4", error), ("Row 5", {}), ("Row 6", _response([]))])
    assert "No explanation for this record." in html
    assert "The feature &#x27;age&#x27; has no value" in html and "Error code KTRES1001E" in html
    assert "neither predictions nor an error" in html
    assert "1 record explained, 2 failed." in html
    assert html.count('class="failed"') == 2


def test_outcome_lines_for_classification_and_regression():
    classification = render_report([("r", _response([_feature("a", 1.0)], value="gold",
                                                    probability=0.99999, other="Others"))])
    assert "Prediction: <strong><bdi>gold</bdi></strong> with probability " \
        "<strong>&gt; 99.9%</strong>" in classification
    assert "Otherwise: <bdi>any other class</bdi> (probability &lt; 0.1%)" in classification
    assert "raises the probability of gold" in classification
    regression = render_report([("r", {"predictions": [
        {"value": 12.5, "explanation_features": [_feature("a", -1.0)]}]})])
    assert "Otherwise" not in regression and "raises the predicted value" in regression


@pytest.mark.parametrize("feature, expected", [
    (dict(feature_name="plan", feature_value="gold", is_categorical=True), "plan = gold"),
    (_feature("age", 1, feature_range={"min": 12.5, "max": 40.0, "min_inclusive": False,
                                       "max_inclusive": True}), "12.5 < age <= 40"),
    (_feature("age", 1, feature_range={"min": None, "max": 40.0, "max_inclusive": True}),
     "age <= 40"),
    (_feature("age", 1, feature_range={"min": 40.0, "max": None}), "age > 40"),
    (_feature("age", 1, feature_range={"min": 1e21, "max": None}), "age > 1e+21"),
    (_feature("s5", 1, feature_range={"min": -0.0, "max": 0.03, "max_inclusive": True}),
     "0 < s5 <= 0.03"),
    (_feature("age", 1), "age = 33"),
])
def test_feature_descriptions(feature, expected):
    assert describe_feature(feature, {"age": 33}) == expected


@pytest.mark.parametrize("value, expected", [(1.0, "100.0%"), (0.0, "0.0%"), (0.5, "50.0%"),
                                             (0.7444, "74.4%"), (0.99951, "> 99.9%"),
                                             (1.5e-7, "< 0.1%"), (float("nan"), None),
                                             (True, None)])
def test_probabilities_never_round_into_certainty(value, expected):
    assert format_probability(value) == expected


def test_report_is_written_in_one_step(tmp_path):
    path = tmp_path / "report.html"
    path.write_text("old")
    write_report(str(path), [("Row 0", _response([_feature("a", 1.0)]))], title="T")
    assert path.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert os.listdir(tmp_path) == ["report.html"]
    assert oct(path.stat().st_mode & 0o777) != oct(0o600)
    with pytest.raises(OSError):
        write_report(str(tmp_path / "missing" / "r.html"), [])
    assert os.listdir(tmp_path) == ["report.html"]


def test_page_loads_nothing_from_outside():
    html = render_report([("r", _response([_feature("a", 1.0)]))])
    assert "Content-Security-Policy" in html and "default-src 'none'" in html
    assert not re.search(r"<(script|link|img|iframe)\b", html)
    assert not re.search(r"url\(|@import|src=", html)


def _plain(html):
    """The page's text without tags, as a reader sees it (entities left as they are)."""
    return re.sub(r"\s+", " ", re.sub(r"<[^>]+>", " ", html))


def _error(message):
    return {"error": {"code": "KTRES1001E",
                      "message": "There was an error while computing the explanation. " + message}}


@pytest.mark.parametrize("message, reason", [
    ("The feature 'age' has no value", "The feature \u2026 has no value"),
    ("The categorical feature 'plan' has the value \"it's\", which the training data never "
     "held", "The categorical feature \u2026 has the value \u2026, which the training data never "
     "held"),
    ("The value 1e+300 is too large: values must stay below 2**63 (about 9.2e18)",
     "The value \u2026 is too large: values must stay below 2**63 (about \u2026)"),
    ("The model's output for x3 was -3.5", "The model's output for x3 was \u2026"),
])
def test_failure_reasons_fold_the_records_own_values(message, reason):
    assert failure_reason(_error(message)) == reason


def test_overview_counts_records_predictions_and_failure_reasons():
    sections = [("Row 0", _response([_feature("a", 0.5)], probability=0.75)),
                ("Row 1", _error("The feature 'age' has no value")),
                ("Row 2", _response([_feature("a", 0.5)], value="no", other="yes")),
                ("Row 3", _error("The feature 'plan' has no value")),
                ("Row 4", _response([_feature("a", 0.5)])),
                ("Row 5", _error("The worker process ended unexpectedly")),
                ("Row 6", _error("The worker process ended unexpectedly"))]
    text = _plain(render_report(sections))
    assert "Overview 7 records: 3 explained, 4 failed." in text
    assert "Predictions yes : 2 records no : 1 record" in text
    # Most frequent reason first; one worded alike throughout is shown whole.
    assert "2 records : The feature \u2026 has no value e.g. The feature &#x27;age&#x27; has " \
        "no value Row 1 , Row 3" in text
    assert "2 records : The worker process ended unexpectedly Row 5 , Row 6" in text
    assert "Records Row 0 : yes (75.0%) Row 1 : failed Row 2 : no (80.0%)" in text
    assert "Overview" not in render_report(sections[:1])


def _overview_bars(html):
    """{(feature, label): mean |weight|} from the overview chart's bar titles."""
    return {(feature, label): float(mean) for feature, mean, label in re.findall(
        r"<title>(\w+): mean \|weight\| ([\d.]+) over the \d+ records? predicted (\w+)</title>",
        html)}


def test_overview_chart_ranks_features_by_mean_absolute_weight_per_label():
    sections = [("r0", _response([_feature("a", 0.4), _feature("b", -0.1)])),
                ("r1", _response([_feature("a", -0.2), _feature("c", 0.6)])),
                ("r2", _response([_feature("b", -0.3)], value="no", other="yes")),
                ("r3", _error("The feature 'a' has no value"))]
    html = render_report(sections)
    # A record whose explanation leaves a feature out counts it as 0.
    assert _overview_bars(html) == pytest.approx({
        ("a", "yes"): 0.3, ("a", "no"): 0.0, ("c", "yes"): 0.3, ("c", "no"): 0.0,
        ("b", "yes"): 0.05, ("b", "no"): 0.3})
    overview = _layout(html[html.index('id="overview"'):html.index('id="record-0"')])
    labels = re.findall(r'dominant-baseline="middle">(\w)</text>', overview)
    assert labels == ["a", "c", "b"]   # overall means 0.2, 0.2, 0.133
    assert "raises the prediction in 1 record, lowers it in 1 record" in overview  # a
    assert "raises the prediction in 0 records, lowers it in 2 records" in overview  # b


def test_regression_values_read_as_in_the_terminal_table():
    response = {"predictions": [{"value": 3044.8612, "explanation_features": [
        _feature("a", 1.0)]}]}
    html = render_report([("r0", response), ("r1", {"predictions": [
        {"value": 1000.25, "explanation_features": [_feature("a", -2.0)]}]})])
    assert "prediction 3044.86" in format_table("r0", response)
    assert "Prediction: <strong><bdi>3044.86</bdi></strong>" in html
    assert "Predicted values from 1000.25 to 3044.86 , mean 2022.56 ." in _plain(html)
    assert "over the 2 records explained" in html


def test_long_labels_wrap_and_keep_their_upper_bound():
    bounds = {"min": 12.5, "max": 40.25, "min_inclusive": False, "max_inclusive": True}
    features = [_feature("monthly_charge_in_the_customers_own_currency", 0.5,
                         feature_range=bounds),
                _feature("x" * 500, -0.2, feature_range=bounds),
                _feature("depth", 0.1, feature_range=bounds)]
    html = render_report([("r", _response(features)), ("s", _response(features))])
    # The narrow layout (a phone) wraps labels early; the wide one gives them room.
    for kind, most_lines, width in [("narrow", 3, 18), ("wide", 2, 40)]:
        charts = _layout(html, kind)
        for label in re.findall(r'<text text-anchor="end"[^>]*>(.*?)</text>', charts):
            lines = re.findall(r"<tspan [^>]*>([^<]*)</tspan>", label)
            assert 2 <= len(lines) <= most_lines
            assert all(len(unescape(line)) <= width for line in lines)
            assert lines[-1].endswith(("40.25", "xxx", "ency"))   # "...ency": the overview
        # both records' charts, each wrapped label
        assert charts.count("40.25</tspan>") == (6 if kind == "narrow" else 4)
        assert (">12.5 &lt; depth &lt;= 40.25</text>" in charts) == (kind == "wide")
    # The charts scale to the page: no pixel size of their own; a wide chart is
    # drawn one unit to the pixel, and fits where it is shown (48rem and wider).
    svgs = re.findall(r"<svg [^>]*>", html)
    assert len(svgs) == 2 * 3
    for svg in svgs:
        assert 'width="100%"' in svg and "viewBox=" in svg and "height=" not in svg
        if 'class="wide"' in svg:
            width = re.search(r'viewBox="0 0 (\d+) ', svg).group(1)
            assert 'style="max-width: {0}px"'.format(width) in svg and int(width) <= 768


def test_notebook_report_shows_the_page_content(tmp_path):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"a": [1.5, 2.5]}, index=[7, 9])
    responses = [_response([_feature("a", 0.5)]), _error("The feature 'a' has no value")]
    report = Report(responses, records=frame, title="Churn")
    page = report.to_html()
    assert [heading for heading in re.findall(r"<h2>([^<]*)</h2>", page)] == \
        ["Overview", "Row 7", "Row 9"]
    report.save(str(tmp_path / "r.html"))
    assert (tmp_path / "r.html").read_text(encoding="utf-8") == page == render_report(
        report.sections, title="Churn")
    shown, again = report._repr_html_(), report._repr_html_()
    body = page[page.index('<div class="veltra-report">'):page.index("</body>")]
    prefix = re.search(r'id="(veltra-\d+-)overview"', shown).group(1)
    assert shown.endswith(body.replace('id="', 'id="' + prefix).replace(
        'href="#', 'href="#' + prefix))
    assert prefix not in again                  # two displays never share anchors
    assert "body {" not in shown                # the notebook keeps its own look
    with pytest.raises(ValueError, match="1 headings for 2 responses"):
        Report(responses, headings=["only one"])


def test_text_shaped_like_template_code_or_markup_stays_text():
    tricky = "{{ 'ab' ~ 'cd' }}{% if x %}</bdi></text>\n"
    html = render_report([(tricky, _response([_feature(tricky, 0.5, feature_value=tricky)],
                                             value=tricky, other=tricky), {tricky: tricky}),
                          ("r", {"error": {"code": tricky, "message": tricky}})],
                         title=tricky, description=tricky)
    assert "abcd" not in html and "</bdi></text>" not in html
    shown = "{{ &#x27;ab&#x27; ~ &#x27;cd&#x27; }}{% if x %}&lt;/bdi&gt;&lt;/text&gt;"
    # title twice, heading, index, prediction, complement, chart, record, error code and message
    assert html.count(shown) >= 10
    # No whitespace between tags, where it would show as a space beside a swatch or a label.
    body = html[html.index("<body>"):]
    assert not re.search(r">\s+<", body) and body.endswith("</body></html>\n")


@pytest.mark.parametrize("error, line", [
    ("worker \x1b[2J died", "row 2: FAILED (error) worker \\x1b[2J died\n"),
    ({"code": "KTRES1001E"}, "row 2: FAILED (KTRES1001E) \n"),
])
def test_a_failure_of_any_shape_reads_as_one_line_in_the_table(error, line):
    assert format_table("row 2", {"error": error}) == line
    assert "No explanation for this record." in render_report([("row 2", {"error": error})])


def test_explanations_say_what_weights_are_what_was_left_out_and_whose_prediction_it_is():
    again = _response([_feature("a", 0.7), _feature("b", 0.3), _feature("c", 0.0),
                       _feature("d", 0.0)])
    html, table = render_report([("r", again)]), format_table("r", again)
    assert len(_bars(html)) == 2                       # c and d get no bars
    assert "Against this prediction, left out: <bdi>c</bdi>, <bdi>d</bdi>" in html
    assert "+0.000" not in table and "against this prediction, left out: c, d" in table
    for text in (unescape(html), table):
        assert "show_opposing_features=True" in text
        assert "share of the local model's total absolute weight" in text
        assert "+ toward yes, - away from it" in text
    # A given label the model does not predict says so; the model's own, or one of many
    # classes against the rest, does not.
    given = _response([_feature("a", -1.0)], value="no", probability=0.0074, other="yes")
    for text in (unescape(render_report([("r", given)])), format_table("r", given)):
        assert "Not the model's prediction: the model gives yes 99.3% and no 0.7%" in text
    for response in (again, _response([_feature("a", -1.0)], probability=0.3, other="Others")):
        assert "Not the model" not in render_report([("r", response)]) + \
            format_table("r", response)
