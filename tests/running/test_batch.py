"""Batches of records: the same responses in one process or several, each failure kept to its record."""
import threading

import pytest

from churn_batch import (
    FATAL_CHARGE,
    REFUSED_CHARGE,
    ArrayScoring,
    Fatal,
    Refusing,
    churn,
    records,
    serial_responses,
)
from veltra_utils.explainability.explainers.lime.lime_tabular_explainer import LimeTabularExplainer
from veltra_utils.explainability.models.scoring import plain_lists, scoring_function
from veltra_utils.explainability.running import batch
from veltra_utils.explainability.running.batch import explain_records
from veltra_utils.explainability.running.engines._pool import start_context

DIED = "ended unexpectedly"


def refuse(rows):
    raise RuntimeError("the model is down")


def error_text(response):
    assert set(response) == {"error"}, response
    assert response["error"]["code"] == "KTRES1001E"
    return response["error"]["message"]


class TestSameResponses:
    def test_two_processes_give_the_serial_responses_in_input_order(self):
        problem, serial = churn(), list(serial_responses())
        assert explain_records(problem.frame, problem.score, problem.config, workers=2) == serial
        # Each response belongs to its record: the probabilities are the records' own.
        assert [response["predictions"][0]["probability"] for response in serial] == \
            pytest.approx(problem.frame.probability.tolist())
        # A batch answers what a fresh explainer answers for the record alone.
        for position in (0, 39):
            alone = LimeTabularExplainer(problem.config).explain(records()[position], problem.score)
            assert serial[position] == alone

    @pytest.mark.parametrize("kind", ["numpy", "pandas"])
    def test_scoring_that_returns_arrays_explains_alike_through_plain_lists(self, kind):
        problem, serial = churn(), list(serial_responses())
        arrays = ArrayScoring(problem.score, kind)
        explainer = LimeTabularExplainer(problem.config)
        # "The truth value of an array (a Series) ... is ambiguous": arrays are not lists.
        assert "is ambiguous" in error_text(explainer.explain(records()[0], arrays))
        assert explainer.explain(records()[0], plain_lists(arrays)) == serial[0]
        assert explain_records(problem.frame.head(6), plain_lists(arrays), problem.config,
                               workers=2) == serial[:6]

    def test_iterables_of_mappings_and_surplus_workers(self):
        problem, serial = churn(), list(serial_responses())
        rows = (row for _, row in problem.frame.iterrows())  # pandas Series, numpy scalars
        assert explain_records(rows, problem.score, problem.config, workers=2) == serial
        assert explain_records(records()[:2], problem.score, problem.config, workers=3) == \
            serial[:2]
        assert explain_records([], problem.score, problem.config, workers=2) == []

    def test_unscored_records_are_scored_first_and_a_record_the_model_refuses_fails_alone(self):
        problem, serial = churn(), list(serial_responses())
        unscored = problem.frame.drop(columns=["prediction", "probability"]).head(4)
        unscored["tenure_months"] = unscored["tenure_months"].astype(object)
        unscored.loc[2, "tenure_months"] = None
        responses = explain_records(unscored, problem.score, problem.config, workers=1)
        assert responses[:2] == serial[:2] and responses[3] == serial[3]
        # The gap reaches the model as NaN, which this pipeline has no imputer for.
        assert "could not score the record: Input X contains NaN" in error_text(responses[2])

    def test_workers_start_safely_beside_other_threads(self):
        # Forking while another thread runs can copy a held lock; the workers
        # then come from a clean server process instead.
        problem, stop = churn(), threading.Event()
        other = threading.Thread(target=stop.wait)
        other.start()
        try:
            assert start_context().get_start_method() == "forkserver"
            assert explain_records(records()[:6], problem.score, problem.config, workers=2) == \
                list(serial_responses()[:6])
        finally:
            stop.set()
            other.join()


class TestFailuresStayPerRecord:
    def test_bad_records_and_refused_scores_are_their_own_error_responses(self):
        problem, serial = churn(), list(serial_responses())
        rows = records()
        rows[3]["plan"] = "enterprise"
        rows[10]["tenure_months"] = None
        rows[17] = 42
        rows[25]["monthly_charge"] = REFUSED_CHARGE
        score = Refusing(problem.score)
        responses = explain_records(rows, score, problem.config, workers=1)
        assert explain_records(rows, score, problem.config, workers=2) == responses
        # A new category is explained, and marked; a held gap reaches this model as NaN.
        assert {"feature_name": "plan", "is_new_category": True}.items() <= \
            [feature for feature in responses[3]["predictions"][0]["explanation_features"]
             if feature["feature_name"] == "plan"][0].items()
        assert "Input X contains NaN" in error_text(responses[10])
        assert "mapping" in error_text(responses[17])
        assert "refuses this customer" in error_text(responses[25])
        failed = {3, 10, 17, 25}
        assert [response for position, response in enumerate(responses)
                if position not in failed] == \
            [response for position, response in enumerate(serial) if position not in failed]

    @pytest.mark.parametrize("workers", [1, 2])
    def test_a_batch_whose_every_record_fails_is_answered_record_by_record(self, workers):
        problem = churn()
        unscored = problem.frame.drop(columns=["prediction", "probability"]).head(3)
        responses = explain_records(unscored, refuse, problem.config, workers=workers,
                                    progress=False)
        assert ["model is down" in error_text(response) for response in responses] == [True] * 3
        stream = batch.iter_explanations(unscored, refuse, problem.config, workers=workers)
        next(stream)
        stream.close()  # a consumer may stop early
        empty = batch.iter_explanations([], refuse, problem.config, workers=workers)
        assert list(empty) == [] and empty.close() is None

    @pytest.mark.parametrize("how", ["exit", "kill", "raise"])
    def test_a_record_that_ends_its_worker_fails_alone(self, how):
        problem, serial = churn(), list(serial_responses())
        rows = records()
        for position in (5, 30):
            rows[position]["monthly_charge"] = FATAL_CHARGE
        responses = explain_records(rows, Fatal(problem.score, how), problem.config, workers=2)
        assert len(responses) == len(rows)
        for position in (5, 30):
            message = error_text(responses[position])
            assert (DIED in message) if how != "raise" else ("SystemExit" in message)
        assert responses[:5] + responses[6:30] + responses[31:] == \
            serial[:5] + serial[6:30] + serial[31:]


class TestArguments:
    def test_what_workers_cannot_receive_is_refused_before_any_work(self):
        problem = churn()
        config = problem.config
        closure = scoring_function(problem.model, config.feature_columns, config.problem_type)
        with pytest.raises(TypeError, match="picklable scoring function.*ModelScoring"):
            explain_records(records(), closure, config, workers=2)
        assert explain_records(records()[:2], closure, config, workers=1) == \
            list(serial_responses()[:2])
        lambda_kernel = type(config)(training_stats=config.training_stats,
                                     kernel=lambda distances, width: distances)
        with pytest.raises(TypeError, match="picklable configuration"):
            explain_records(records(), problem.score, lambda_kernel, workers=2)

    def test_a_scoring_function_workers_cannot_load_raises(self):
        problem = churn()
        with pytest.raises(RuntimeError, match="could not set up the explainer.*not loadable"):
            explain_records(records(), Unloadable(), problem.config, workers=2)

    @pytest.mark.parametrize("arguments, error, text", [
        # The model's output can be scored; a feature cannot be made up.
        (dict(records=lambda frame: frame.drop(columns=["region", "probability"])), ValueError,
         "lack the column 'region'$"),
        (dict(records=lambda frame: frame.iloc[0].to_dict()), TypeError, "single dict"),
        (dict(workers=0), ValueError, "workers"),
    ])
    def test_bad_arguments(self, arguments, error, text):
        problem = churn()
        frame = arguments.get("records", lambda frame: frame)(problem.frame)
        with pytest.raises(error, match=text):
            explain_records(frame, problem.score, problem.config,
                            workers=arguments.get("workers", 1))


def test_progress_bar_shown_when_asked_or_on_a_terminal(capsys):
    problem = churn()
    explain_records(records()[:3], problem.score, problem.config, workers=1, progress=True)
    assert "explaining" in capsys.readouterr().err
    explain_records(records()[:3], problem.score, problem.config, workers=1)  # stderr: no terminal
    assert capsys.readouterr().err == ""


def _refuse_loading():
    raise LookupError("not loadable here")


class Unloadable:
    def __call__(self, rows):
        raise AssertionError("never called")

    def __reduce__(self):
        return _refuse_loading, ()
