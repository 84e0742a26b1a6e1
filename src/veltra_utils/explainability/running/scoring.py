"""The model as a scoring function that worker processes and Spark executors can receive."""
from typing import Any, Dict, Iterable, List, Optional

from veltra_utils.explainability.models.scoring import probability_labels, scoring_function


class ModelScoring:
    """The scoring function of ``scoring.scoring_function`` as a picklable object.

    Worker processes receive the scoring function by pickling, which a function
    defined inside another function does not survive. This keeps the model and
    the arguments instead, and builds the scoring function again wherever it
    is unpickled. Takes the arguments of ``scoring_function`` and raises
    ValueError as it does.
    """

    def __init__(self, model: Any, feature_columns: Iterable[str], problem_type: Any,
                 class_labels: Optional[Iterable[Any]] = None, **options: Any) -> None:
        from veltra_utils.explainability.models.formats import portable

        self.model = portable(model)  # an onnxruntime session does not pickle; its bytes do
        self.arguments: Dict[str, Any] = dict(
            options, feature_columns=list(feature_columns), problem_type=problem_type,
            class_labels=None if class_labels is None else list(class_labels))
        self._score = self._build()

    def _build(self):
        return scoring_function(self.model, **self.arguments)

    @property
    def probability_labels(self) -> Optional[List[Any]]:
        """The class labels that the probability columns follow, in order (None: unknown)."""
        return probability_labels(self.arguments["problem_type"], self.arguments["class_labels"])

    def __call__(self, rows: Any) -> Any:
        return self._score(rows)

    def __getstate__(self) -> Dict[str, Any]:
        return {"model": self.model, "arguments": self.arguments}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._score = self._build()

    def __repr__(self) -> str:
        return "ModelScoring({0!r})".format(self.model)
