"""Reading tables and records from files, and writing statistics back, from Python."""
import os

import pytest

from veltra_utils.explainability import tables
from veltra_utils.explainability.datasets import LABEL, churn_table, text_columns
from veltra_utils.explainability.entity.explain_config import ExplainConfig
from veltra_utils.explainability.statistics.training_stats import TrainingStats
from veltra_utils.explainability.utils.files import check_output_folder, check_output_path


@pytest.fixture(scope="module")
def config():
    table = churn_table(rows=200, seed=1)
    table["plan"] = table["plan"].where(table.index % 7 != 0, "007")   # a code that looks numeric
    table.loc[::11, "plan"] = None  # gaps: a category of their own, not one of text
    stats = TrainingStats.from_dataframe(table, LABEL, categorical_columns=text_columns(table))
    return ExplainConfig(training_stats=stats)


def test_records_keep_text_categories_and_turn_gaps_into_none(config, tmp_path):
    path = tmp_path / "records.csv"
    path.write_text("plan,region,tenure_months,support_calls,monthly_charge,prediction\n"
                    "007,north,3,,55.5,yes\n"
                    "basic,south,12,1,40,no\n")
    frame = tables.read_records(str(path), config)
    records = tables.frame_records(frame, config, [1, 0])
    assert records[1]["plan"] == "007" and records[1]["support_calls"] is None
    assert records[0] == {"plan": "basic", "region": "south", "tenure_months": 12,
                          "support_calls": 1.0, "monthly_charge": 40.0, "prediction": "no"}
    path.write_text("plan,region,tenure_months,support_calls,monthly_charge\n"
                    "007,north,3,1,55.5\n"
                    ",north,3,1,55.5\n")
    records = tables.frame_records(tables.read_records(str(path), config), config)
    assert [record["plan"] for record in records] == ["007", None]


@pytest.mark.parametrize("content, message", [
    (None, "does not exist"),
    ("", "is empty"),
    ("plan,region\nbasic,north\n", "lacks the feature columns 'tenure_months'"),
    ("plan,region,tenure_months,support_calls,monthly_charge\n", "holds no records"),
    ('a,b\n"unclosed,1\n', "not readable CSV"),
])
def test_unreadable_records_name_the_file_and_the_fault(config, tmp_path, content, message):
    path = tmp_path / "records.csv"
    if content is not None:
        path.write_text(content)
    with pytest.raises(tables.TableError, match=message) as raised:
        tables.read_records(str(path), config)
    assert str(path) in str(raised.value)


@pytest.mark.parametrize("text, selected", [
    ("0:3, 5, 7:", [0, 1, 2, 5, 7, 8]), (":2", [0, 1]), ("8", [8]),
    ("4:4", "selects no records"), ("9", "9 is past the end: there are only 9 records"),
    ("-1", "expected positions"), ("a:b", "expected positions"), ("", "expected positions"),
])
def test_row_selection(text, selected):
    if isinstance(selected, list):
        assert tables.select_rows(text, 9) == selected
    else:
        with pytest.raises(tables.TableError, match=selected):
            tables.select_rows(text, 9)


@pytest.mark.parametrize("text, selected", [("3:100", [3, 4, 5, 6, 7, 8]), ("3,12", [3])])
def test_rows_past_the_end_are_left_out_with_a_warning(text, selected):
    with pytest.warns(tables.TableWarning, match="past the end: there are only 9 records"):
        assert tables.select_rows(text, 9) == selected


def test_statistics_save_and_load_through_a_file(config, tmp_path):
    stats = config.training_stats
    path = tmp_path / "stats.json"
    stats.save(str(path))
    assert TrainingStats.load(str(path)).to_dict() == stats.to_dict()
    path.write_text(path.read_text().replace('"region"', '"regime"', 1))
    with pytest.raises(ValueError, match="stats.json does not hold training statistics: .*changed"):
        TrainingStats.load(str(path))
    with pytest.raises(ValueError, match="is a directory"):
        TrainingStats.load(str(tmp_path))


def test_an_output_path_is_checked_before_any_work(tmp_path):
    source = tmp_path / "train.csv"
    source.write_text("x\n1\n")
    os.link(source, tmp_path / "hard.csv")
    for path, message in [(tmp_path / "hard.csv", "would destroy the input"),
                          (tmp_path, "is a directory"),
                          (tmp_path / "no" / "r.html", "does not exist")]:
        with pytest.raises(ValueError, match=message):
            check_output_path(str(path), "report", {"training data": str(source)})
    check_output_path(str(tmp_path / "new.html"), "report", {"training data": str(source)})


def test_a_spark_output_folder_replaces_only_what_such_a_folder_holds(tmp_path):
    records = tmp_path / "records.csv"
    records.write_text("x\n1\n")
    inputs = {"records": str(records)}
    parts = tmp_path / "explained"
    parts.mkdir()
    for name in ("_SUCCESS", "part-00000-a.snappy.parquet", ".part-00000-a.snappy.parquet.crc"):
        (parts / name).write_text("")
    single = tmp_path / "explained.parquet"
    single.write_bytes(b"PAR1...PAR1")
    assert check_output_folder(str(parts), "explanations", inputs) is True
    assert check_output_folder(str(single), "explanations", inputs) is True
    assert check_output_folder(str(tmp_path / "new"), "explanations", inputs) is False
    (tmp_path / "notes.txt").write_text("mine")
    for path, message in [(tmp_path, "holds the records file"), (records, "holds the records"),
                          (tmp_path / "notes.txt", "not Parquet"),
                          (tmp_path / "no" / "out", "does not exist")]:
        with pytest.raises(ValueError, match=message):
            check_output_folder(str(path), "explanations", inputs)
    (parts / "notes.txt").write_text("mine")
    with pytest.raises(ValueError, match="a folder of other files"):
        check_output_folder(str(parts), "explanations", inputs)


def test_numeric_class_labels_are_read_cell_by_cell(tmp_path):
    table = churn_table(rows=200, seed=1)
    table[LABEL] = (table[LABEL] == "yes").astype(int)
    stats = TrainingStats.from_dataframe(table, LABEL, categorical_columns=text_columns(table))
    config = ExplainConfig(training_stats=stats)
    path = tmp_path / "records.csv"
    path.write_text("plan,region,tenure_months,support_calls,monthly_charge,prediction\n"
                    "basic,north,3,1,55.5,1\n"
                    "basic,north,3,1,55.5,one\n")
    # One cell that is no label does not turn the others into text, which no label matches.
    records = tables.frame_records(tables.read_records(str(path), config), config)
    assert [record["prediction"] for record in records] == [1, "one"]


@pytest.mark.parametrize("header, expected", [
    ("a,,c", ["a", "Unnamed: 1", "c"]),
    ("x,x,x.1,x", ["x", "x.2", "x.1", "x.3"]),
    ("\ufeffa, b, \"c,d\"", ["a", "b", "c,d"]),
    ("\"x\"\"y\",z", ['x"y', "z"]),
])
def test_csv_header_names_columns_as_the_table_reader_does(tmp_path, header, expected):
    # DuckDB and Spark read the text themselves; their names must be those the records get.
    path = tmp_path / "named.csv"
    path.write_text(header + "\n" + ",".join(["1"] * len(expected)) + "\n", encoding="utf-8")
    assert tables.csv_header(path, ",") == expected
    assert list(tables.read_table(path).columns) == expected


def test_csv_header_of_an_empty_file_is_empty(tmp_path):
    path = tmp_path / "empty.csv"
    path.write_text("")
    assert tables.csv_header(path, ",") == []
