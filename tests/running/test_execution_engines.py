"""The execution engines: one interface, the same responses, and a file explained from end
to end by the library as by the command."""
import json

import pytest

from churn_batch import churn, serial_responses
from veltra_utils.explainability import explain_file
from veltra_utils.explainability.errors import TableError
from veltra_utils.explainability.running.engines import ENGINES, Engine, get_engine
from veltra_utils.explainability.running.record_files import (
    file_explanations,
    read_records_file,
)


def test_every_engine_is_registered_by_its_name_with_a_description():
    assert {"in-process", "workers", "spark"} <= set(ENGINES)
    for name, engine in ENGINES.items():
        assert isinstance(engine, Engine) and engine.name == name
        assert engine.description and "\n" not in engine.description
    assert get_engine("workers") is ENGINES["workers"]
    with pytest.raises(ValueError, match="in-process, workers, spark"):
        get_engine("cluster")


@pytest.mark.parametrize("name, options", [("in-process", {}),
                                           ("workers", {"workers": 2, "timeout": 60})])
def test_local_engines_give_the_serial_responses(name, options):
    problem = churn()
    responses = ENGINES[name].explain_records(problem.frame, problem.score, problem.config,
                                              progress=False, **options)
    assert responses == list(serial_responses())


def test_an_option_an_engine_does_not_take_is_refused():
    problem = churn()
    with pytest.raises(TypeError, match="in-process engine takes no option workers"):
        ENGINES["in-process"].explain_records(problem.frame, problem.score, problem.config,
                                              workers=2)


@pytest.fixture
def records_file(tmp_path):
    problem = churn()
    path = tmp_path / "scored.csv"
    problem.frame.head(6).to_csv(path, index=False)
    return problem, path


@pytest.mark.parametrize("name", ["in-process", "workers"])
def test_a_file_is_explained_and_written_once_per_chosen_row(records_file, tmp_path, name):
    problem, path = records_file
    output = tmp_path / "explanations.jsonl"
    done = explain_file(str(path), problem.score, problem.config, str(output), engine=name,
                        key_columns=["record_id"], rows="4,1:3,2")
    assert (done.count, done.failed, done.positions) == (3, 0, [4, 1, 2])
    serial = list(serial_responses())
    assert done.responses == [serial[4], serial[1], serial[2]]
    lines = [json.loads(line) for line in output.read_text().splitlines()]
    assert [(line["row"], line["record_id"]) for line in lines] == [(4, "4"), (1, "1"), (2, "2")]
    assert [line["explanation"] for line in lines] == done.responses


def test_a_record_chosen_twice_is_explained_once_and_given_twice(records_file):
    problem, path = records_file
    source = read_records_file(str(path), problem.config, rows="1,1,0,1")
    sent = []

    def explain(records):
        sent.extend(records)
        yield from ENGINES["in-process"].iter_explanations(records, problem.score,
                                                           problem.config, progress=False)

    explained = list(file_explanations(source, explain))
    serial = list(serial_responses())
    assert [index for index, _ in explained] == [0, 1, 2, 3]
    assert [response for _, response in explained] == [serial[1], serial[1], serial[0], serial[1]]
    assert len(sent) == 2


def test_rows_that_select_nothing_name_the_argument(records_file):
    problem, path = records_file
    with pytest.raises(TableError) as caught:
        read_records_file(str(path), problem.config, rows="9")
    assert str(caught.value).startswith("rows: 9 is past the end")
    assert caught.value.render(lambda option: "--" + option.keyword).startswith("--rows: ")


def test_the_output_must_not_be_the_records_file(records_file):
    problem, path = records_file
    with pytest.raises(ValueError, match="would destroy the input"):
        ENGINES["in-process"].explain_file(str(path), problem.score, problem.config, str(path))
