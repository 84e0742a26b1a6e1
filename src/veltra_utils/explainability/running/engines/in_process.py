"""The in-process engine: one explainer in this process, the model unbounded.

The quickest way for a model that is trusted to behave; a model that crashes
or hangs takes this process with it. The explainer is imported on first use,
so that listing the engines stays cheap.
"""
from typing import Any, Dict, List, Optional

from veltra_utils.explainability.running._types import (
    Explanations,
    Response,
    ScoringFunction,
    Task,
)
from veltra_utils.explainability.running.engines._base import (
    Engine,
    in_order,
    nothing,
    unknown_options,
)


class InProcessEngine(Engine):
    name = "in-process"
    description = "one explainer in this process; the model runs without walls"

    def iter_explanations(self, records: Any, scoring_function: ScoringFunction, config: Any,
                          *, progress: Optional[bool] = None, task: Optional[Task] = None,
                          **options: Any) -> Explanations:
        """``(position, response)`` in input order. Records without the model's output are
        scored first, in one batch; ``progress`` shows a bar on stderr (None: when stderr
        is a terminal)."""
        from veltra_utils.explainability.models.scoring import score_records
        from veltra_utils.explainability.running._records import record_list

        unknown_options(self, options)
        chosen = record_list(records, config)
        if not chosen:
            return nothing()
        failed = score_records(chosen, scoring_function, config)
        return in_order(_explained(chosen, failed, scoring_function, config, task),
                        len(chosen), progress)


def _explained(records: List[Any], failed: Dict[int, Response],
               scoring_function: ScoringFunction, config: Any,
               task: Optional[Task]) -> Explanations:
    """The failures of scoring, then (position, response) for the other records."""
    from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import (
        LimeTabularExplainer,
    )
    from veltra_utils.explainability.running._records import explain_one

    yield from failed.items()
    positions = [position for position in range(len(records)) if position not in failed]
    if positions:
        explainer = LimeTabularExplainer(config)
        for position in positions:
            yield position, (task or explain_one)(explainer, records[position],
                                                  scoring_function)
