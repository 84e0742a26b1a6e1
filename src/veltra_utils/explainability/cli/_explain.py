"""``veltra-explain explain``: records of a file explained by the chosen engine, printed,
written to a file or to a report."""
import contextlib
import json
import os
import sys
import warnings
from typing import Any, Dict, List, Optional

from veltra_utils.explainability.cli._messages import (
    EXIT_OK,
    EXIT_RECORDS_FAILED,
    PROG,
    Output,
    UsageError,
    one_path,
    refused,
    say,
    say_error,
    warnings_said,
)


def run_explain(args) -> int:
    """Explain the records ``args`` name, as they ask; the exit status."""
    from veltra_utils.explainability.report import render_report
    from veltra_utils.explainability.report._describe import counted
    from veltra_utils.explainability.running import record_files

    engine, options = _engine(args)
    inputs = {"statistics": args.stats, "model": args.model, "records": args.records}
    if args.report and args.output and one_path(args.report, args.output):
        raise UsageError("--report and --output name the same file {0}; one would replace the "
                         "other".format(args.output))
    report = Output(args.report, "report", inputs) if args.report else None
    replace = _check_output(args, inputs, engine.name)
    config = _load_config(args)
    task = _stability_task(args, config)
    if task is not None:
        options["task"] = task
    model = _load_model(args)
    score = _scoring(model, config, args)
    if args.output and engine.name == "spark":
        return _explain_file_on_spark(args, engine, options, config, score, replace)
    with refused(), warnings_said():
        source = record_files.read_records_file(
            args.records, config, rows=args.rows, sep=args.sep, decimal=args.decimal,
            key_columns=args.key or (), unique=bool(args.output))
    _try_model(engine, options, score, config, args)  # the file is sound: now the model, once

    collected: Optional[List[Dict[str, Any]]] = [] if args.output else None
    sections, failed = _print_explanations(args, engine, options, config, score, source,
                                           collected)
    if collected is not None:
        _write_explanations(args, source, collected, stability=task is not None)
    if report is not None:
        title = args.title or "Explanations of {0}".format(os.path.basename(args.records))
        description = "Model {0}, training statistics {1}.".format(
            os.path.basename(args.model), os.path.basename(args.stats))
        report.write(render_report(sections, title=title, description=description))
        say("{0}: report of {1} written to {2}".format(
            PROG, counted(len(sections), "record"), args.report))
    if failed:
        say("{0}: {1} of {2} records could not be explained".format(PROG, failed, len(source)))
        return EXIT_RECORDS_FAILED
    return EXIT_OK


def _engine(args):
    """The engine --engine names and its options; refuses options that clash with it.

    Checks up front that the spark engine can start, so that a missing
    pyspark or Java is reported before the model is loaded and records scored.
    """
    from veltra_utils.explainability.running.engines import ENGINES

    engine = ENGINES["workers" if args.engine == "local" else args.engine]
    if engine.name != "spark" and args.master is not None:
        raise UsageError("--master is the Spark master and needs --engine spark")
    if engine.name == "workers":
        return engine, dict(workers=1 if args.workers is None else (args.workers or None),
                            timeout=args.timeout, memory_limit=_memory_limit(args),
                            progress=False)
    if engine.name == "spark":
        if args.workers is not None:
            raise UsageError("--workers is for the local engine; with --engine spark the master "
                             "sets the parallelism, e.g. --master 'local[4]'")
        if args.timeout is not None:
            raise UsageError("--timeout is for the local engine: Spark cannot stop the "
                             "explanation of a single record")
        with refused("the spark engine cannot run: "):
            engine.check()
        return engine, dict(master=args.master, verbose=args.verbose, app_name=PROG,
                            progress=False)
    for flag, value in (("--workers", args.workers), ("--timeout", args.timeout),
                        ("--max-memory", args.max_memory)):
        if value is not None:
            raise UsageError("{0} is for the worker processes of the local engine; --engine "
                             "{1} explains in this process".format(flag, engine.name))
    return engine, dict(progress=False)


def _check_output(args, inputs, engine):
    """Refuse --output and --key where they clash; return whether Spark replaces an existing
    --output. A path that is (or, for Spark's folder, holds) an input is refused."""
    if args.key and not args.output:
        raise UsageError("--key names the columns written beside each explanation with --output")
    if not args.output:
        return False
    if args.format == "table":
        raise UsageError("--format table is for reading on the terminal; --output writes "
                         "Parquet or JSON lines")
    from veltra_utils.explainability.utils.files import check_output_folder, check_output_path

    if engine != "spark":
        from veltra_utils.explainability.running.outputs import check_writable

        with refused():
            check_output_path(args.output, "explanations", inputs)
            check_writable(args.output)
        return False
    if args.report:
        raise UsageError("--report needs every explanation on this machine, which --engine "
                         "spark --output leaves on Spark; leave out one of them")
    if "://" in args.output and not args.output.startswith("file://"):
        return False  # a cluster's file system: Spark refuses a path that exists
    with refused():
        return check_output_folder(args.output.replace("file://", "", 1), "explanations",
                                   inputs)


def _explain_file_on_spark(args, engine, options, config, score, replace):
    """Explain the records file on Spark into the Parquet folder --output; the exit status."""
    with refused(), warnings_said():
        done = engine.explain_file(args.records, score, config, args.output,
                                   key_columns=args.key or (), sep=args.sep, rows=args.rows,
                                   decimal=args.decimal, overwrite=replace, **options)
    count, failed = done.count, done.failed
    say("{0}: {1} explanation{2} written to {3}".format(PROG, count, "" if count == 1 else "s",
                                                       args.output))
    if failed:
        say("{0}: {1} of {2} records could not be explained".format(PROG, failed, count))
        return EXIT_RECORDS_FAILED
    return EXIT_OK


def _write_explanations(args, source, responses, stability=False):
    from veltra_utils.explainability.running.record_files import write_file_explanations

    try:
        with refused("cannot write the explanations {0}: ".format(args.output)):
            write_file_explanations(args.output, source, responses, stability)
    except OSError as error:
        raise UsageError("cannot write the explanations {0}: {1}"
                         .format(args.output, say_error(error))) from None
    say("{0}: {1} explanation{2} written to {3}".format(
        PROG, len(responses), "" if len(responses) == 1 else "s", args.output))


def _load_config(args):
    from veltra_utils.explainability.entity.explain_config import ExplainConfig
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    with refused(), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        stats = TrainingStats.load(args.stats)
    for warning in caught:  # a file without a digest, say
        say("{0}: warning: {1}: {2}".format(PROG, args.stats, warning.message))
    with refused():
        return ExplainConfig(training_stats=stats, features_count=args.features_count,
                             perturbations_count=args.perturbations,
                             prediction_column=args.prediction_column,
                             probability_column=args.probability_column,
                             show_opposing_features=args.show_opposing_features)


def _stability_task(args, config):
    """What --stability, --until-stable and --max-perturbations ask of each record; None
    for its explanation alone."""
    from veltra_utils.explainability.running import stability

    if args.max_perturbations is not None and not args.until_stable:
        raise UsageError("--max-perturbations is the cap of --until-stable")
    if args.stability is None and not args.until_stable:
        return None
    with refused():
        task = stability.StabilityTask(
            runs=args.stability or 5, until_stable=args.until_stable,
            max_perturbations=args.max_perturbations or stability.MAX_PERTURBATIONS)
        task.check(config)
    return task


def _load_model(args):
    """The model of ``args.model``, loaded as --trust, --trust-pickle and --max-model-size say."""
    # A size the user allowed explicitly overrides the compression-ratio guard.
    from veltra_utils.explainability import models

    explicit = args.max_model_size is not None
    with refused():
        return models.load_model(
            args.model, trust_pickle=args.trust_pickle, trust=args.trust,
            max_size=args.max_model_size if explicit else models.DEFAULT_MAX_MODEL_SIZE,
            max_ratio=None if explicit else models.DEFAULT_MAX_RATIO)


def _scoring(model, config, args):
    """The model as a scoring function; one that worker processes and Spark can receive."""
    from veltra_utils.explainability.entity.constants import ProblemType
    from veltra_utils.explainability.running.scoring import ModelScoring

    labels = None if config.problem_type is ProblemType.REGRESSION \
        else config.training_stats.class_labels
    with refused("the model {0} does not fit the statistics {1}: ".format(args.model,
                                                                          args.stats)):
        return ModelScoring(model, config.feature_columns, config.problem_type,
                            class_labels=labels, schema=config.schema)


def _print_explanations(args, engine, options, config, score, source, collected=None):
    """Explain and print every record; return the report sections and the number that failed.

    Each record is printed as soon as it and every record before it are done,
    so what is finished stays on the output if a later record hangs or the
    command is interrupted. With ``collected`` (a list) the responses are
    appended to it instead of printed. Warnings, which thousands of perturbed
    rows can raise again and again, are summed up in one line at the end.
    """
    from veltra_utils.explainability.report import ReportSection
    from veltra_utils.explainability.running.outputs import split_result
    from veltra_utils.explainability.utils.progress import progress_bar

    sections, failed = [], 0
    records, positions = source.records, source.positions
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        explained = _explanations(engine, options, config, score, source)
        with contextlib.closing(explained), progress_bar(len(records)) as bar:
            for index, result in explained:
                response, stability = split_result(result)
                failed += "error" in response
                if collected is None:
                    _emit(positions[index], response, records[index], args.format, bar,
                          stability)
                else:
                    collected.append(result)
                features = {name: records[index].get(name) for name in config.feature_columns}
                sections.append(ReportSection("Row {0}".format(positions[index]), response,
                                              features, stability))
                bar.update(1)
    if caught:
        say("{0}: note: {1} warning{2} while explaining, the first: {3}: {4}".format(
            PROG, len(caught), "" if len(caught) == 1 else "s", caught[0].category.__name__,
            say_error(caught[0].message)))
    return sections, failed


def _explanations(engine, options, config, score, source):
    """(index, response) for every record of ``source``, in order, from the engine.

    The local engine runs the model in worker processes, also for one worker,
    so that a model that crashes, overruns or asks for too much memory costs
    its record an error response and nothing else.
    """
    from veltra_utils.explainability.running.record_files import file_explanations

    stream = file_explanations(source, lambda records: engine.iter_explanations(
        records, score, config, **options))
    try:
        with contextlib.closing(stream):
            yield from stream
    except (TypeError, RuntimeError, ValueError) as error:
        if engine.name != "workers":
            if isinstance(error, TypeError):
                raise
            raise UsageError(say_error(error)) from None
        if isinstance(error, ValueError):
            raise
        raise UsageError("cannot explain in worker processes ({0})".format(say_error(error))) \
            from None


def _memory_limit(args):
    """The memory each worker's model may take: --max-memory, else a quarter of the RAM."""
    if args.max_memory is not None:
        return args.max_memory
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 4
    except (ValueError, OSError, AttributeError):  # a platform that cannot tell
        return None


def _try_model(engine, options, score, config, args):
    """Refuse, before any record is read, a model that fails on a row of the statistics'
    values under the engine's limits."""
    try:
        reason = engine.try_model(score, config, **options)
    except TypeError as error:  # the model cannot travel to a worker process
        raise UsageError("cannot explain in worker processes ({0})".format(say_error(error))) \
            from None
    if reason is not None:
        raise UsageError("the model {0} cannot be used: {1}{2}".format(
            args.model, say_error(reason),
            " (--max-memory)" if "memory" in reason else
            " (--timeout)" if "longer than" in reason else ""))


def _emit(position, response, record, output_format, bar, stability=None):
    """One record on the terminal: its table, or one JSON document (the response's fields
    after "row", and "stability" after them when asked for)."""
    from veltra_utils.explainability.report import format_table

    if output_format == "table":
        text = format_table("row {0}".format(position), response, record, stability)
    else:
        document = {"row": position}
        document.update(response)
        if stability is not None:
            document["stability"] = stability
        text = json.dumps(document, allow_nan=False)
    if bar.disable:
        print(text, flush=True)
    else:
        bar.write(text, file=sys.stdout)
        sys.stdout.flush()

