"""A self-contained HTML report of explained records, and the terminal's table of one.

One section per record: the prediction and its probability, a bar chart of the
feature weights drawn as inline SVG, the complementary label, or the error that
stopped the explanation. A record checked against re-runs with other seeds
(its ``stability``) also says whether its top features held and how well the
local model fits, and its bars get whiskers over the runs. Two or more records
get an overview first: how many were explained and why the others failed, how
many explanations were unstable or fitted poorly, the predictions by label, and
each feature's mean absolute weight by predicted label. ``Report`` shows the same in
a notebook. The page loads nothing from anywhere (no scripts, no
fonts, no images) and every piece of text is escaped, since feature names and
values come straight from the user's data.

    sections = [ReportSection("Row 0", explainer.explain(record, score), record)]
    write_report("report.html", sections, title="Churn model")

``format_table`` shows one record's explanation on a terminal, its numbers
read as in the report.
"""
from veltra_utils.explainability.report._charts import NEGATIVE_COLOUR, POSITIVE_COLOUR
from veltra_utils.explainability.report._describe import (
    describe_feature,
    failure_reason,
    format_probability,
    held_note,
    sorted_features,
)
from veltra_utils.explainability.report._html import (
    Report,
    ReportSection,
    render_report,
    write_report,
)
from veltra_utils.explainability.report._table import format_table

__all__ = ["Report", "ReportSection", "describe_feature", "failure_reason", "format_probability",
           "format_table", "held_note", "sorted_features", "render_report", "write_report",
           "POSITIVE_COLOUR", "NEGATIVE_COLOUR"]
