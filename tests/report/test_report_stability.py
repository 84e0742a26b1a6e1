"""The report of explanations checked against re-runs: verdicts, fits, whiskers and the overview."""
import re
from html import unescape

import pytest

from veltra_utils.explainability.report import Report, ReportSection, format_table, render_report

HOSTILE = '<img src=x onerror="alert(1)">&amp;'


def _response(weights, value="no", probability=0.8):
    features = [dict(feature_name=name, weight=weight, is_categorical=False)
                for name, weight in weights.items()]
    return {"predictions": [{"value": value, "probability": probability,
                             "explanation_features": features},
                            {"value": "yes", "probability": 1 - probability}]}


def _stability(features, stable=True, same=5, r2=0.81, poor=False, signs=1.0):
    """A stability as ``Stability.to_dict()`` gives it; ``features``: name -> (chosen, min, max)."""
    return {"stable": stable, "verdict": "stable: ..." if stable else "unstable: ...", "runs": 5,
            "seeds": [11, 12, 13, 14, 15], "perturbations_count": 300, "same_sets": same,
            "jaccard": 0.9, "sign_agreement": signs, "failed_runs": 0,
            "features": {name: {"chosen": chosen, "min": low, "mean": (low + high) / 2,
                                "max": high} for name, (chosen, low, high) in features.items()},
            "fit": {"r2": r2, "local_pred": 0.839, "model": 0.807, "poor": poor}}


def _text(html):
    """The page's text as a reader sees it."""
    body = html[html.index("<body>"):]
    return re.sub(r"\s+", " ", unescape(re.sub(r"<[^>]+>", " ", body)))


def _narrow(html):
    return re.sub(r'<svg [^>]*class="wide".*?</svg>', "", html, flags=re.S)


def _whiskers(html):
    """(left, middle, right) of each whisker in the narrow charts."""
    return [tuple(map(float, found)) for found in re.findall(
        r'<path class="whisker" d="M[\d.]+ [\d.]+v10M([\d.]+) ([\d.]+)H([\d.]+)M[^"]*" fill="none" '
        r'stroke="#1a1a1a"', _narrow(html))]


@pytest.mark.parametrize("stability, verdict, fit", [
    (_stability({"a": (6, 0.3, 0.7), "b": (6, -0.5, 0.1)}),
     "Stable: the same top 2 features in 5 of 5 re-runs with other random samples.",
     "Fit: the local linear model accounts for about 81% of how the model's output varies "
     "near this record (R² 0.81; 1 is a perfect fit). At this record it gives 83.9% for no, "
     "the model 80.7%."),
    (_stability({"a": (6, 0.3, 0.7), "b": (6, -0.5, 0.1)}, stable=False, same=2, r2=0.04,
                poor=True, signs=0.834),
     "Unstable: the same top 2 features in only 2 of 5 re-runs with other random samples; the "
     "re-runs' weights for those features point the same way (raise or lower) 83% of the time.",
     "Poor fit: the local linear model fits the model's behaviour near this record poorly "
     "(R² 0.04: it accounts for about 4% of how the model's output varies nearby), so read the "
     "weights with care."),
])
def test_verdict_fit_and_whiskers_on_the_bars_scale(stability, verdict, fit):
    response = _response({"a": 0.6, "b": -0.4})
    html = render_report([ReportSection("Row 0", response, None, stability)])
    assert verdict in _text(html) and fit in _text(html)
    # The terminal gives the library's one-line verdict.
    assert "\n  {0}\n".format(stability["verdict"]) in format_table("row 0", response,
                                                                    stability=stability)
    assert ('class="stability stable"' in html) == stability["stable"]
    # Each bar's whisker spans its weight's range on the bars' own scale: the scale
    # grows to hold a whisker reaching past every bar (b's, to +0.1 across zero).
    chart = _narrow(html)
    zero = float(re.search(r'<line x1="([\d.]+)"', chart).group(1))
    rects = [(float(x), float(width)) for x, width in
             re.findall(r'<rect x="([\d.]+)" y="[\d.]+" width="([\d.]+)"', chart)]
    unit = rects[0][1] / 0.6
    ends = [(left, right) for left, _, right in _whiskers(html)]
    assert ends == [pytest.approx((zero + low * unit, zero + high * unit), abs=0.02)
                    for low, high in [(0.3, 0.7), (-0.5, 0.1)]]
    width = float(re.search(r'viewBox="0 0 (\d+)', chart).group(1))
    assert zero + 0.7 * unit <= width - 60       # room for the weight printed after it
    assert re.search(r"<title>a: \+0\.600; from \+0\.300 to \+0\.700 over 6 runs</title>", html)


def test_features_only_some_runs_chose_are_marked_in_the_chart_and_named_below():
    stability = _stability({"a": (6, 0.5, 0.7), "b": (3, -0.5, -0.3), "c": (1, 0.2, 0.2),
                            "d": (2, 0.1, 0.3)}, stable=False, same=1)
    html = render_report([("r", _response({"a": 0.6, "b": -0.4, "c": 0.2}), None, stability)])
    labels = re.findall(r'text-anchor="end" dominant-baseline="middle">([^<]*)</text>',
                        _narrow(html))
    assert labels == ["a", "b \u2020", "c \u2020"]
    text = _text(html)
    assert "\u2020 Among the top features in only some runs: b (in 3 of 6 runs), " \
        "c (in 1 of 6 runs)." in text
    assert "Chosen instead by some re-runs: d (in 2 of 6 runs)." in text
    assert "Whiskers: the lowest to highest weight each feature got over the 6 runs" in text
    assert len(_whiskers(html)) == 2             # c, chosen by one run only, has no range


def test_overview_counts_unstable_explanations_and_poor_fits_with_links():
    good = _stability({"a": (6, 0.5, 0.7)})
    sections = [("Row 0", _response({"a": 1.0}), None, good),
                ("Row 1", _response({"a": 1.0}), None,
                 _stability({"a": (6, 0.5, 0.7)}, stable=False, same=1, r2=0.1, poor=True)),
                ("Row 2", {"error": {"message": "no value"}}, None,
                 {"stable": False, "verdict": "not explained: no value", "runs": 5,
                  "same_sets": 0, "features": {}, "fit": None}),
                ("Row 3", _response({"a": 1.0}), None,
                 _stability({"a": (6, 0.5, 0.7)}, r2=0.2, poor=True)),
                ("Row 4", _response({"a": 1.0}))]
    html = render_report(sections)
    text = _text(html)
    assert "Stability 3 explained records checked against re-runs with other random samples: " \
        "2 stable, 1 unstable." in text
    overview = html[html.index('id="overview"'):html.index('id="record-0"')]
    assert re.search(r'1 unstable explanation</strong>: [^<]*<br><a href="#record-1">Row 1</a>'
                     r"</li>", overview)
    assert re.search(r'2 poor fits</strong>: [^<]*<br><a href="#record-1">Row 1</a>, '
                     r'<a href="#record-3">Row 3</a></li>', overview)
    assert "Row 1 : no (80.0%); unstable ; poor fit Row 2 : failed Row 3 : no (80.0%); poor fit" \
        in text
    assert text.count("Stable:") == 2 and text.count("Unstable:") == 1


def test_text_from_the_data_stays_text_in_the_stability_parts():
    stability = _stability({HOSTILE: (3, 0.2, 0.7), HOSTILE + "2": (2, 0.1, 0.2)}, stable=False,
                           same=0)
    html = render_report([("r", _response({HOSTILE: 0.6}, value=HOSTILE), None, stability),
                          ("s", _response({"a": 1.0}), None, stability)])
    assert "<img" not in html and "&amp;amp;" in html
    text = _text(html)
    assert "(in 3 of 6 runs)" in text and HOSTILE + "2 (in 2 of 6 runs)" in text
    # A stability read from a damaged file shows what it can, and no more.
    for broken in ({"runs": "5", "same_sets": 1}, {"runs": 5, "same_sets": 1,
                                                   "features": {"a": {"chosen": "x"}},
                                                   "fit": {"r2": "high"}}, [1, 2]):
        page = render_report([("r", _response({"a": 1.0}), None, broken)])
        assert "<path" not in page and "Fit" not in _text(page)


def test_without_stabilities_the_page_is_what_it_was():
    responses = [_response({"a": 0.6, "b": -0.4}), {"error": {"message": "no value"}}]
    plain = Report(responses).to_html()
    assert "stability" not in plain and "whisker" not in plain and "\u2020" not in plain
    assert Report(responses, stabilities=[None, None]).to_html() == plain
    # A record that could not be explained has nothing to show of its re-runs.
    failed = {"stable": False, "verdict": "not explained: no value", "runs": 0,
              "same_sets": 0, "features": {}, "fit": None}
    assert Report(responses, stabilities=[None, failed]).to_html() == plain
    assert format_table("r", responses[0], stability=None) == format_table("r", responses[0])

    class Measured:        # a Stability is read through its to_dict()
        def to_dict(self):
            return _stability({"a": (6, 0.5, 0.7)})

    assert "Stable:" in Report(responses, stabilities=[Measured(), None]).to_html()
    with pytest.raises(ValueError, match="1 stabilities for 2 responses"):
        Report(responses, stabilities=[None])
