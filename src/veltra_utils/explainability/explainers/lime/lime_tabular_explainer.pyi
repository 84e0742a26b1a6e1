"""Type information for the compiled LIME explainer of tabular records."""
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple

from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.entity.transaction import Transaction
from veltra_utils.explainability.explainers.base_explainer import BaseExplainer

# A scoring function takes rows of feature values (in feature-column order) and
# returns the predictions and, for classification, one probability row per input row.
ScoringFunction = Callable[[List[List[Any]]], Tuple[Sequence[Any], Sequence[Sequence[float]]]]

class LimeTabularExplainer(BaseExplainer):
    """Class to compute lime explanation for structured data."""

    config: ExplainConfig
    predict_proba: Optional[ScoringFunction]
    possible_predictions: List[Any]
    label_map: Dict[Any, int]

    def __init__(self, explain_config: ExplainConfig) -> None:
        """Keep the configuration; every explanation builds its own LIME explainer from it."""
    def is_valid(self) -> bool:
        """Whether the configuration asks for LIME explanations of structured data."""
    def explain(self, data_row: Mapping[str, Any], predict_proba: ScoringFunction) -> Dict[str, Any]:
        """Explain one scored record and return the serialised response.

        ``data_row`` maps every feature column to its value and carries the
        model's prediction (and, for classification, its probability). The
        answer is ``{"predictions": [...]}``, or ``{"error": {"code":
        "KTRES1001E", ...}}`` when the record cannot be explained: a failure
        inside the explanation is answered, never raised.
        """

class LimeTabularResponse:
    """Class representing the lime tabular response. It takes the raw lime explanation and convert to required format."""  # noqa: E501  (the compiled docstring, verbatim)

    lime_explanation: Any
    transaction: Transaction
    config: ExplainConfig
    possible_predictions: List[Any]
    label_map: Dict[Any, int]
    weighted_features: List[Tuple[str, float]]
    predictions: List[Any]

    def __init__(self, lime_explanation: Any, transaction: Transaction, config: ExplainConfig,
                 possible_predictions: List[Any], label_map: Dict[Any, int]) -> None: ...
    def negative_weights_dominate(self) -> bool:
        """Whether the negative weights outweigh the positive ones."""

def _rows_to_columns(rows: List[Sequence[Any]], kinds: str) -> Optional[Tuple[List[Any], List[int]]]:
    """The rows as one numpy array per column ("i" int64, "f" float64, "O" object,
    one letter per column in ``kinds``) and the positions of the object columns
    holding a gap; None when a row holds a value the Python path must decide."""
