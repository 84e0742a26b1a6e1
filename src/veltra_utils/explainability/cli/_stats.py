"""``veltra-explain stats``: the training statistics of a file, written as JSON."""
import sys

from veltra_utils.explainability.cli._messages import (
    EXIT_OK,
    PROG,
    Output,
    UsageError,
    refused,
    say,
    say_error,
    warnings_said,
)


def run_stats(args) -> int:
    """Compute the statistics ``args`` ask for and write them; the exit status."""
    from veltra_utils.explainability.errors import TableError

    output = None if args.output == "-" else \
        Output(args.output, "statistics", {"training data": args.train})
    engine = args.engine or ("pandas" if args.discretizer == "entropy" else "duckdb")
    if args.master is not None and engine != "spark":
        raise UsageError("--master is the Spark master and needs --engine spark")
    with refused("cannot compute statistics of {0}: ".format(args.train)), \
            warnings_said():
        try:
            stats = _statistics(args, engine)
        except TableError as error:  # names the file itself
            raise UsageError(say_error(error)) from None
        text = stats.to_json()
    if output is None:
        sys.stdout.write(text)
        sys.stdout.flush()
    else:
        output.write(text)
    labels = ", ".join(str(label) for label in stats.class_labels[:10]) \
        + (", ..." if len(stats.class_labels) > 10 else "")
    say("{0}: statistics of {1} rows and {2} features ({3}{4}){5}{6}".format(
        PROG, stats.row_count, len(stats.feature_columns), stats.problem_type.value,
        ": " + labels if labels else "", "" if output is None else " written to " + args.output,
        "; categorical: " + ", ".join(stats.categorical_columns)
        if stats.categorical_columns else ""))
    return EXIT_OK


def _statistics(args, engine):
    """The statistics of the training data, computed by ``engine``."""
    from veltra_utils.explainability.statistics.training_stats import TrainingStats

    settings = dict(categorical_columns=list(args.categorical or []),
                    problem_type=args.problem_type, feature_columns=args.features,
                    discretizer=args.discretizer)
    if engine != "spark":
        return TrainingStats.from_files(args.train, args.label, engine=engine, sep=args.sep,
                                        decimal=args.decimal, **settings)
    from veltra_utils.explainability._spark import started

    with started(master=args.master, verbose=args.verbose) as session:
        return TrainingStats.from_files(args.train, args.label, engine="spark", spark=session,
                                        sep=args.sep, decimal=args.decimal, **settings)

