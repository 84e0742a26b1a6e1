"""Common base of all explainers."""


class BaseExplainer:
    """Holds the explanation configuration; concrete explainers do the work."""

    def __init__(self, config):
        self.config = config

    def is_valid(self):
        """Tell whether this explainer can handle ``self.config``."""
        raise NotImplementedError(
            "{0} does not implement is_valid".format(type(self).__name__))

    def explain(self, data_row, predict_proba):
        """Explain one scored record and return the serialised response."""
        raise NotImplementedError(
            "{0} does not implement explain".format(type(self).__name__))
