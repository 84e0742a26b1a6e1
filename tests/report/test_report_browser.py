"""The report as a browser shows it: no sideways scrolling, every chart drawn, nothing fetched.

Runs headless Chromium through Playwright; skipped where either is missing
(``make test SYSTEM=1`` installs both).
"""
import os
import shutil

import numpy as np
import pytest

from veltra_utils.explainability.datasets import LABEL, churn_model, churn_table, text_columns
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.models.scoring import scoring_function
from veltra_utils.explainability.report import Report
from veltra_utils.explainability.running.batch import explain_records
from veltra_utils.explainability.running.stability import stability
from veltra_utils.explainability.statistics.training_stats import TrainingStats

sync_api = pytest.importorskip("playwright.sync_api",
                               reason="playwright is not installed: pip install playwright")
CHROMIUM = shutil.which("chromium") or ("/usr/bin/chromium" if os.path.exists("/usr/bin/chromium")
                                        else None)
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="no Chromium to run the report in "
                                                         "(make test SYSTEM=1 installs it)")
FEATURES = ["plan", "region", "tenure_months", "support_calls", "monthly_charge"]


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """A saved report of four real explanations, each checked against re-runs, and one
    record that cannot be explained."""
    table = churn_table(rows=300, seed=5)
    model = churn_model(table[FEATURES], table[LABEL])
    stats = TrainingStats.from_dataframe(table[FEATURES + [LABEL]], LABEL,
                                         categorical_columns=text_columns(table[FEATURES]))
    config = ExplainConfig(training_stats=stats, perturbations_count=200)
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels, schema=stats.schema)
    frame = table[FEATURES].iloc[:5].copy()
    frame["tenure_months"] = frame["tenure_months"].astype(float)
    frame.loc[frame.index[2], "tenure_months"] = np.nan   # no value: this record fails
    responses = explain_records(frame, score, config, workers=1, progress=False)
    assert sum("error" in response for response in responses) == 1
    stabilities = [stability(record, score, config, runs=3) for record in frame.to_dict("records")]
    path = tmp_path_factory.mktemp("report") / "report.html"
    Report(responses, records=frame, title="Churn model", stabilities=stabilities).save(str(path))
    return path


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=CHROMIUM, headless=True)
        yield browser
        browser.close()


@pytest.mark.parametrize("width", [390, 1280])
def test_report_fits_the_page_and_fetches_nothing(report, browser, width):
    page = browser.new_page(viewport={"width": width, "height": 900})
    requested, complaints = [], []
    page.on("request", lambda request: requested.append(request.url))
    page.on("console", lambda message: complaints.append(message.text)
            if message.type == "error" else None)   # what the page's policy refused, say
    page.goto(report.as_uri())
    assert requested == [report.as_uri()] and complaints == []
    widths = page.evaluate("[document.documentElement.scrollWidth, "
                           "document.documentElement.clientWidth]")
    assert widths[0] <= widths[1], "the page scrolls sideways at {0}px".format(width)
    # One chart per explained record, and the overview's, in the layout that
    # fits: the narrow one as wide as the page allows (up to 34rem), the wide
    # one drawn one unit to the pixel, its labels on at most two lines.
    charts = page.locator("svg:visible")
    assert charts.count() == 4 + 1
    for index in range(charts.count()):
        chart = charts.nth(index)
        box = chart.bounding_box()
        assert box["x"] + box["width"] <= width
        if width < 800:
            assert chart.get_attribute("class") == "narrow" and min(width - 40, 544) <= box["width"]
        else:
            assert chart.get_attribute("class") == "wide"
            assert box["width"] == float(chart.get_attribute("viewBox").split()[2])
            assert chart.locator("text:has(tspan:nth-child(3))").count() == 0
        # The whiskers of a record's bars stay inside its chart.
        for whisker in chart.locator("path.whisker").all():
            ends = whisker.bounding_box()
            assert box["x"] <= ends["x"] and ends["x"] + ends["width"] <= box["x"] + box["width"]
    assert page.locator("path.whisker:visible").count() > 0
    # The records are listed by their headings alone, not numbered again.
    assert page.evaluate("getComputedStyle(document.querySelector('nav li')).listStyleType") == "none"
    page.close()
