"""Common base of all explainers."""
from typing import Any


class BaseExplainer:
    """Holds the explanation configuration; concrete explainers do the work."""

    def __init__(self, config: Any) -> None:
        self.config = config

    def is_valid(self) -> bool:
        """Tell whether this explainer can handle ``self.config``."""
        raise NotImplementedError(
            "{0} does not implement is_valid".format(type(self).__name__))

    def explain(self, data_row: Any, predict_proba: Any) -> Any:
        """Explain one scored record and return the serialised response."""
        raise NotImplementedError(
            "{0} does not implement explain".format(type(self).__name__))
