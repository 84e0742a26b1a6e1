"""Statistics computed by DuckDB from files and by Spark equal those pandas computes."""
import shutil

import numpy as np
import pandas as pd
import pytest

from conftest import spark_test_session
from same_stats import assert_same_stats
from veltra_utils.explainability.cli import main
from veltra_utils.explainability.statistics.training_stats import AmbiguousLabelError, TrainingStats
from veltra_utils.explainability.tables import TableError

ROWS = 300
pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas")


def _table(label, gaps=True, seed=0):
    """Every kind of column: ties, gaps, a constant, text, true/false and codes."""
    rng = np.random.default_rng(seed)
    holes = (rng.uniform(size=ROWS) < 0.15) if gaps else np.zeros(ROWS, dtype=bool)
    frame = pd.DataFrame({
        "ties": rng.choice([0, 0, 0, 1, 2, 5], ROWS),              # a mass at the minimum
        "money": rng.normal(50, 12, ROWS).round(2),
        "whole_gaps": pd.Series(rng.integers(0, 40, ROWS).astype(float)).mask(holes),
        "float_gaps": pd.Series(rng.exponential(3, ROWS)).mask(np.roll(holes, 3)),
        "constant": np.full(ROWS, 7.5),
        "plan": pd.Series(rng.choice(["basic", "pro", "007"], ROWS)).mask(np.roll(holes, 5)),
        "member": rng.choice([True, False], ROWS),
        "code": rng.integers(1, 5, ROWS),
        "small": rng.integers(0, 100, ROWS).astype(np.int32),
    })
    if label == "binary":
        frame["y"] = rng.choice(["no", "yes"], ROWS)
    elif label == "multiclass":
        frame["y"] = rng.integers(0, 4, ROWS)
    else:
        frame["y"] = rng.normal(size=ROWS)
    return frame


def _write(frame, folder, form):
    path = folder / ("train.parquet" if form == "parquet" else "train.csv")
    if form == "parquet":
        frame.to_parquet(path)
    else:
        frame.to_csv(path, index=False, sep=";" if form == "semicolon csv" else ",")
    return path


def _expected(frame, **settings):
    """What pandas computes from the table as the file holds it."""
    return TrainingStats.from_dataframe(frame, "y", **settings).to_dict()


@pytest.mark.parametrize("form", ["parquet", "csv", "semicolon csv"])
@pytest.mark.parametrize("label, settings", [
    ("binary", dict(categorical_columns=["code"])),
    ("multiclass", dict(discretizer="decile")),
    ("regression", dict(feature_columns=["money", "plan", "ties", "constant"])),
    ("binary", dict(problem_type="multiclass", discretizer="decile")),
])
def test_duckdb_statistics_of_a_file_equal_pandas(tmp_path, form, label, settings):
    path = _write(_table(label), tmp_path, form)
    from veltra_utils.explainability.tables import read_table

    expected = _expected(read_table(path), **settings)
    assert_same_stats(TrainingStats.from_files(path, "y", **settings).to_dict(), expected)


def test_a_glob_reads_every_matching_file_and_bins_them_together(tmp_path):
    frame = _table("binary", seed=4)
    for part, rows in enumerate(np.array_split(np.arange(ROWS), 3)):
        frame.iloc[rows].to_parquet(tmp_path / "part-{0}.parquet".format(part))
    computed = TrainingStats.from_files(str(tmp_path / "part-*.parquet"), "y").to_dict()
    assert_same_stats(computed, _expected(frame))


@pytest.mark.parametrize("change, settings, error, message", [
    (None, dict(discretizer="entropy"), ValueError, "use the pandas engine"),
    (None, dict(missing="error"), ValueError, "categorical column 'plan' has missing values"),
    (None, dict(feature_columns=["money", "nope"]), ValueError, "has no column 'nope'"),
    (lambda f: f.assign(y=np.arange(ROWS)), {}, AmbiguousLabelError, "300 distinct whole"),
    (lambda f: f.assign(y=f.money), dict(problem_type="binary"), ValueError,
     "binary problem has"),
    (lambda f: f.assign(y=np.nan), {}, ValueError, "label column 'y' has no values"),
    (lambda f: f.assign(money=np.inf), {}, ValueError, "'money' holds infinite values"),
    (lambda f: f.assign(money=np.nan), {}, ValueError, "'money' has no values"),
    (lambda f: f.iloc[:0], {}, ValueError, "has no rows"),
])
def test_duckdb_refuses_what_pandas_refuses(tmp_path, change, settings, error, message):
    frame = _table("binary") if change is None else change(_table("binary"))
    path = _write(frame, tmp_path, "parquet")
    with pytest.raises(error, match=message):
        TrainingStats.from_files(path, "y", **settings)
    if "pandas engine" not in message:
        with pytest.raises(error, match=message):
            TrainingStats.from_files(path, "y", engine="pandas", **settings)


@pytest.mark.parametrize("path, message", [
    ("missing.csv", "does not exist"), ("none-*.parquet", "no training data file matches"),
    ("broken.parquet", "is not Parquet"),
])
def test_unreadable_files_are_named(tmp_path, path, message):
    (tmp_path / "broken.parquet").write_text("a,b\n1,2\n")
    with pytest.raises(TableError, match=message):
        TrainingStats.from_files(str(tmp_path / path), "y")


@pytest.mark.parametrize("fault, message", [
    ("a row too long", "not readable CSV: .*Expected 3 fields in line 82, saw 4"),
    ("other columns", "part-1.csv has other columns than .*part-0.csv"),
    ("empty", "is empty"),
])
def test_a_csv_broken_past_its_first_rows_is_refused_by_name(tmp_path, monkeypatch, fault,
                                                             message):
    # pandas reads the CSV ahead, in a thread of its own, 12 rows at a time here: what it
    # finds wrong reaches the caller, and the thread ends.
    import threading

    from veltra_utils.explainability.statistics.engines import duckdb as duckdb_engine

    monkeypatch.setattr(duckdb_engine, "_BLOCK_CELLS", 36)
    rows = "".join("{0},{1},{2}\n".format(i, i % 7, "ab"[i % 2]) for i in range(100))
    (tmp_path / "part-0.csv").write_text("x,z,y\n" + rows)
    second = {"a row too long": "x,z,y\n" + rows.replace("80,3,a", "80,3,a,9"),
              "other columns": "x,w,y\n" + rows, "empty": ""}[fault]
    (tmp_path / "part-1.csv").write_text(second)
    with pytest.raises(TableError, match=message):
        TrainingStats.from_files(str(tmp_path / "part-*.csv"), "y")
    assert not [thread for thread in threading.enumerate()
                if thread.name == "veltra-csv-blocks"]


def test_a_label_of_many_distinct_values_is_read_without_fetching_them_all(tmp_path,
                                                                           monkeypatch):
    from veltra_utils.explainability.statistics.engines import _sql

    monkeypatch.setattr(_sql, "_LABEL_SAMPLE", 10)
    frame = _table("regression")
    path = _write(frame, tmp_path, "parquet")
    assert_same_stats(TrainingStats.from_files(path, "y").to_dict(), _expected(frame))
    whole = frame.assign(y=np.arange(ROWS) % 50)
    path = _write(whole, tmp_path, "parquet")
    with pytest.raises(AmbiguousLabelError, match="50 distinct"):
        TrainingStats.from_files(path, "y")
    assert_same_stats(TrainingStats.from_files(path, "y", problem_type="multiclass").to_dict(),
                      _expected(whole, problem_type="multiclass"))


# ---------------------------------------------------------------- Spark

@pytest.fixture(scope="module")
def spark(monkeypatch_module):
    session = spark_test_session(monkeypatch_module)
    yield session
    session.stop()


@pytest.mark.parametrize("label, settings", [
    ("binary", dict(categorical_columns=["code"])),
    ("multiclass", dict(discretizer="decile")),
    ("regression", {}),
])
def test_spark_statistics_equal_pandas(spark, label, settings):
    frame = _table(label)
    computed = TrainingStats.from_spark(spark.createDataFrame(frame), "y", **settings)
    assert_same_stats(computed.to_dict(), _expected(frame, **settings))


def test_spark_reads_csv_files_as_pandas_does(spark, tmp_path):
    from veltra_utils.explainability.tables import read_table

    path = _write(_table("binary"), tmp_path, "semicolon csv")
    computed = TrainingStats.from_files(str(path), "y", engine="spark", spark=spark,
                                        categorical_columns=["code"])
    assert_same_stats(computed.to_dict(), _expected(read_table(path),
                                                    categorical_columns=["code"]))


def test_spark_refuses_the_entropy_discretizer(spark):
    with pytest.raises(ValueError, match="use the pandas engine"):
        TrainingStats.from_spark(spark.createDataFrame(_table("binary")), "y",
                                 discretizer="entropy")


# ---------------------------------------------------------------- command line

@pytest.mark.parametrize("engine", ["duckdb", "pandas", "spark"])
def test_command_computes_the_same_statistics_with_every_engine(tmp_path, capsys, engine):
    if engine == "spark" and shutil.which("java") is None:
        pytest.skip("Spark needs a Java runtime")
    frame = _table("binary")
    path = _write(frame, tmp_path, "parquet")
    output = tmp_path / "stats.json"
    assert main(["stats", "--train", str(path), "--label", "y", "--engine", engine,
                 "-o", str(output)]) == 0
    assert_same_stats(TrainingStats.load(output).to_dict(), _expected(frame))


def test_command_refuses_entropy_with_duckdb_and_master_without_spark(tmp_path, capsys):
    path = _write(_table("binary"), tmp_path, "parquet")
    for extra, message in ((["--engine", "duckdb", "--discretizer", "entropy"],
                            "use the pandas engine"),
                           (["--master", "local[1]"], "needs --engine spark")):
        assert main(["stats", "--train", str(path), "--label", "y", *extra]) == 2
        assert message in capsys.readouterr().err


def test_csv_cells_are_typed_as_pandas_reads_them(tmp_path):
    # Missing-value words, spaces after the separator, true/false with gaps,
    # whole numbers with gaps, leading zeros, numbers beside text, NaN words among numbers.
    path = tmp_path / "hand.csv"
    path.write_text("count,flag,word,code,share,ratio,y\n"
                    " 5,True,NA,007,0.5,1e3,a\n"
                    "n/a,false,x,12,nan,-inf,b\n"
                    "3, FALSE,null,x1,1.5,2.5,a\n"
                    ",true, ,4,-NaN,NaN,b\n"
                    "8,,y,5,7,.5,a\n")
    chosen = ["count", "flag", "word", "code", "share"]
    expected = TrainingStats.from_files(path, "y", engine="pandas",
                                        feature_columns=chosen).to_dict()
    computed = TrainingStats.from_files(path, "y", feature_columns=chosen).to_dict()
    assert_same_stats(computed, expected)
    assert computed["schema"] == {"count": "double", "flag": "boolean", "word": "string",
                                  "code": "string", "share": "double"}
    with pytest.raises(ValueError, match="'ratio' holds infinite values"):
        TrainingStats.from_files(path, "y")


@pytest.mark.parametrize("engine", ["duckdb", "spark"])
def test_repeated_and_blank_column_names_are_named_as_pandas_names_them(tmp_path, request,
                                                                         engine):
    # Records are read by pandas later on, so the statistics must carry its names.

    path = tmp_path / "names.csv"
    path.write_text("x, y, x,,x.1,label\n" + "".join(
        "{0},{1},{2},{3},{4},{5}\n".format(i, i % 3, i * 2, i % 2, i + 1, "ab"[i % 2])
        for i in range(8)))
    expected = TrainingStats.from_files(path, "label", engine="pandas").to_dict()
    if engine == "spark":
        computed = TrainingStats.from_files(str(path), "label", engine="spark",
                                            spark=request.getfixturevalue("spark"))
    else:
        computed = TrainingStats.from_files(path, "label")
    assert computed.feature_columns == ["x", "y", "x.2", "Unnamed: 3", "x.1"]
    assert_same_stats(computed.to_dict(), expected)


@pytest.mark.parametrize("engine", ["duckdb", "spark"])
def test_files_as_spreadsheet_programs_write_them(tmp_path, request, engine):
    # A byte-order mark, decimal commas, gaps in numbers and text, and rows without a label.
    from veltra_utils.explainability.tables import DecimalCommaWarning

    path = tmp_path / "export.csv"
    path.write_text("weight;count;town;y\n" + "".join(
        "{0},{1};{2};{3};{4}\n".format(60 + i % 9, i % 4, "" if i % 5 == 0 else i % 3,
                                       "" if i % 7 == 0 else "Oslo Bergen Bodø".split()[i % 3],
                                       "" if i % 11 == 0 else "ab"[i % 2])
        for i in range(40)), encoding="utf-8-sig")

    def computed(**settings):
        if engine == "spark":
            return TrainingStats.from_files(str(path), "y", engine="spark",
                                            spark=request.getfixturevalue("spark"), **settings)
        return TrainingStats.from_files(path, "y", **settings)

    for decimal, weight in ((",", "double"), (None, "string")):
        with pytest.warns(UserWarning) as caught:
            expected = TrainingStats.from_files(path, "y", engine="pandas", decimal=decimal)
            stats = computed(decimal=decimal)
        assert stats.feature_columns == ["weight", "count", "town"]
        assert stats.schema == {"weight": weight, "count": "double", "town": "string"}
        assert stats.row_count == 36 and stats.numeric_gaps == expected.numeric_gaps
        assert_same_stats(stats.to_dict(), expected.to_dict())
        warned = [str(warning.message) for warning in caught]
        assert warned.count("4 rows without a value in the label column 'y' are left out of "
                            "the statistics") == 2
        assert sum(issubclass(warning.category, DecimalCommaWarning)
                   for warning in caught) == (2 if decimal is None else 0)


@pytest.mark.parametrize("form", ["parquet", "csv"])
def test_a_table_wider_than_one_query_equals_pandas_at_the_default_memory_limit(tmp_path, form,
                                                                               monkeypatch):
    # Past 64 columns a query holds only some of them. A CSV is read 16 rows at a time
    # here, into files of 40 columns (the last one short): the label, in the middle of
    # the table, misses in some rows; whole numbers past what a double holds exactly,
    # and columns whose blocks hold different kinds of cells, take the type pandas
    # gives the whole column. The Parquet file's per-bin figures and categories come from
    # a scan per column, as a table of many rows has them; the CSV's from one scan.
    from veltra_utils.explainability.statistics.engines import _sql
    from veltra_utils.explainability.statistics.engines import duckdb as duckdb_engine

    if form == "parquet":
        monkeypatch.setattr(_sql, "_ONE_SCAN_ROWS", 0)
    monkeypatch.setattr(duckdb_engine, "_GROUP_COLUMNS", 40)
    monkeypatch.setattr(duckdb_engine, "_BLOCK_CELLS", 16 * 132)
    parts = [_table("binary", seed=seed).head(50).add_suffix("_%d" % seed) for seed in range(14)]
    frame = pd.concat(parts[:7] + [parts[0]["y_0"].rename("y").mask(np.arange(50) % 13 == 0)]
                      + parts[7:], axis=1)
    frame = frame.drop(columns=[name for name in frame.columns if name.startswith("y_")])
    rows = np.arange(50)
    frame["huge"] = 2 ** 62 + rows
    frame["late_text"] = np.where(rows < 40, rows.astype(str), "n" + rows.astype(str))
    frame["late_gap"] = pd.Series(rows, dtype="Int64" if form == "csv" else "float").mask(rows > 45)
    frame["late_words"] = pd.Series(np.where(rows % 3, "a", "b")).mask(rows < 20)
    frame["late_flags"] = pd.Series(rows % 2 == 0, dtype=object).mask(rows < 20)
    path = _write(frame, tmp_path, form)
    with pytest.warns(UserWarning, match="4 rows without a value"):
        expected = TrainingStats.from_files(path, "y", engine="pandas", discretizer="decile")
        stats = TrainingStats.from_files(path, "y", engine="duckdb", discretizer="decile")
    assert len(stats.feature_columns) == 131
    assert stats.schema == expected.schema and stats.schema["huge"] == "long"
    if form == "csv":
        assert [stats.schema[name] for name in ("late_text", "late_gap", "late_words",
                                                "late_flags")] == \
            ["string", "double", "string", "boolean"]
    assert_same_stats(stats.to_dict(), expected.to_dict())
