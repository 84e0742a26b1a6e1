"""Explain one scored record of tabular data with LIME, from training statistics.

Everything a user needs is one import away::

    from veltra_utils.explainability import (ExplainConfig, LimeTabularExplainer, ProblemType,
                                             TrainingStats, scoring_function)

    stats = TrainingStats.from_dataframe(train_df, label_column="churn")
    explainer = LimeTabularExplainer(ExplainConfig(training_stats=stats))
    score = scoring_function(model, stats.feature_columns, stats.problem_type,
                             class_labels=stats.class_labels, schema=stats.schema)
    response = explainer.explain(record, score)

The names are loaded on first use, so ``import veltra_utils.explainability``
itself stays cheap (the command line starts without numpy or LIME). The
modules behind them (``entity``, ``explainers``, ``statistics``, ``models``,
``models.formats``, ``models.scoring``, ``running.batch``, ``running.stability``, ``running.spark``,
``report``, ``errors``) stay importable under their own paths.
"""
import importlib
from typing import TYPE_CHECKING, Any, Dict, List

if TYPE_CHECKING:  # what editors and type checkers see; at run time the names load lazily
    from veltra_utils.explainability.entity.constants import ProblemType as ProblemType
    from veltra_utils.explainability.entity.explain_config import ExplainConfig as ExplainConfig
    from veltra_utils.explainability.entity.explain_response import error_response as error_response
    from veltra_utils.explainability.errors import ModelFileError as ModelFileError
    from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import (
        LimeTabularExplainer as LimeTabularExplainer,
    )
    from veltra_utils.explainability.models import load_model as load_model
    from veltra_utils.explainability.models.formats import OnnxModel as OnnxModel
    from veltra_utils.explainability.models.scoring import plain_lists as plain_lists
    from veltra_utils.explainability.models.scoring import scoring_function as scoring_function
    from veltra_utils.explainability.report import Report as Report
    from veltra_utils.explainability.report import ReportSection as ReportSection
    from veltra_utils.explainability.report import render_report as render_report
    from veltra_utils.explainability.report import write_report as write_report
    from veltra_utils.explainability.running.batch import ModelScoring as ModelScoring
    from veltra_utils.explainability.running.batch import explain_file as explain_file
    from veltra_utils.explainability.running.batch import explain_record as explain_record
    from veltra_utils.explainability.running.batch import explain_records as explain_records
    from veltra_utils.explainability.running.batch import iter_explanations as iter_explanations
    from veltra_utils.explainability.running.stability import Stability as Stability
    from veltra_utils.explainability.running.stability import StabilityTask as StabilityTask
    from veltra_utils.explainability.running.stability import stability as stability
    from veltra_utils.explainability.running.stability import (
        stable_explanation as stable_explanation,
    )
    from veltra_utils.explainability.statistics.training_stats import TrainingStats as TrainingStats

# public name -> the module that defines it
_EXPORTS: Dict[str, str] = {
    "TrainingStats": "veltra_utils.explainability.statistics.training_stats",
    "ExplainConfig": "veltra_utils.explainability.entity.explain_config",
    "ProblemType": "veltra_utils.explainability.entity.constants",
    "LimeTabularExplainer": "veltra_utils.explainability.explainers.lime.lime_tabular_explainer",
    "scoring_function": "veltra_utils.explainability.models.scoring",
    "plain_lists": "veltra_utils.explainability.models.scoring",
    "ModelScoring": "veltra_utils.explainability.running.batch",
    "explain_file": "veltra_utils.explainability.running.batch",
    "explain_record": "veltra_utils.explainability.running.batch",
    "explain_records": "veltra_utils.explainability.running.batch",
    "iter_explanations": "veltra_utils.explainability.running.batch",
    "Stability": "veltra_utils.explainability.running.stability",
    "StabilityTask": "veltra_utils.explainability.running.stability",
    "stability": "veltra_utils.explainability.running.stability",
    "stable_explanation": "veltra_utils.explainability.running.stability",
    "error_response": "veltra_utils.explainability.entity.explain_response",
    "load_model": "veltra_utils.explainability.models",
    "ModelFileError": "veltra_utils.explainability.errors",
    "OnnxModel": "veltra_utils.explainability.models.formats",
    "Report": "veltra_utils.explainability.report",
    "ReportSection": "veltra_utils.explainability.report",
    "render_report": "veltra_utils.explainability.report",
    "write_report": "veltra_utils.explainability.report",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError("module {0!r} has no attribute {1!r}".format(__name__, name))
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))
