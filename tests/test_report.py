"""The HTML report: escaping, the bar chart's order and colours, error sections."""
import os
import re

import pytest

from veltra_utils.explainability.report import (NEGATIVE_COLOUR, POSITIVE_COLOUR, ReportSection,
                                                describe_feature, format_probability,
                                                render_report, write_report)

HOSTILE = '<img src=x onerror="alert(1)">&amp;\'"'


def _feature(name, weight, **extra):
    return dict(feature_name=name, weight=weight, is_categorical=False, **extra)


def _response(features, value="yes", probability=0.8, other="no"):
    predictions = [{"value": value, "probability": probability,
                    "explanation_features": features}]
    if other is not None:
        predictions.append({"value": other, "probability": 1 - probability})
    return {"predictions": predictions}


def _bars(html):
    """(label, fill) of each bar in document order."""
    return re.findall(r'text-anchor="end" dominant-baseline="middle">([^<]*)</text>'
                      r'<rect [^>]*fill="([^"]+)"', html)


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
        "<strong>&gt; 99.99%</strong>" in classification
    assert "Otherwise: <bdi>Others</bdi> (all other classes) (probability 0.001%)" in classification
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


@pytest.mark.parametrize("value, expected", [(1.0, "100%"), (0.0, "0%"), (0.5, "50%"),
                                             (0.123456, "12.35%"), (1.5e-7, "1.5e-05%"),
                                             (float("nan"), None), (True, None)])
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
