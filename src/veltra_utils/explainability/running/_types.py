"""The shapes the engines pass around."""
from typing import Any, Callable, Dict, Generator, Tuple

# A response as the explainer serialises it: {"predictions": [...]} or {"error": {...}}.
Response = Dict[str, Any]
ScoringFunction = Callable[[Any], Any]
# (position, response) pairs as an engine yields them; closing the stream ends its work.
Explanations = Generator[Tuple[int, Response], None, None]
# What an engine does to one scored record, given an explainer of the configuration:
# ``explain_one`` (its response) unless a task (``stability.StabilityTask``) is given.
# A record the engine cannot hand to the task (refused, unscored, its worker lost)
# still gets an error response.
Task = Callable[[Any, Any, ScoringFunction], Any]
