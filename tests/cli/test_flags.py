"""The library's errors name keyword arguments; the command says its own flags instead."""
import pytest

from veltra_utils.explainability.cli._messages import UsageError, refused, say_error, spell
from veltra_utils.explainability.errors import ModelFileError, Option, TableError


@pytest.mark.parametrize("option, flag", [
    (Option("trust_pickle", "True"), "--trust-pickle"),
    (Option("trust", "'numpy.take'"), "--trust numpy.take"),
    (Option("problem_type", '"regression"'), "--problem-type regression"),
    (Option("decimal", '","'), "--decimal ,"),
    (Option("memory_limit"), "--max-memory"),
    (Option("max_model_size", "4294967296"), "--max-model-size 4294967296"),
    (Option("key_columns"), "--key"),
    (Option("some_new_option"), "--some-new-option"),
])
def test_options_are_spelled_as_flags(option, flag):
    assert spell(option) == flag


def test_a_library_error_becomes_a_usage_error_in_the_commands_words():
    error = ModelFileError("refused: pass {trust} if you trust its code",
                           trust=Option("trust_pickle", "True"))
    assert str(error) == "refused: pass trust_pickle=True if you trust its code"
    with pytest.raises(UsageError) as caught, refused("the model m.joblib: "):
        raise error
    assert str(caught.value) == "the model m.joblib: refused: pass --trust-pickle if you trust its code"


def test_other_errors_keep_their_words_on_one_line():
    assert "\n" not in say_error(ValueError("two\nlines"))
    assert say_error(TableError("{rows}: 7 is past the end", rows=Option("rows"))) == \
        "--rows: 7 is past the end"
