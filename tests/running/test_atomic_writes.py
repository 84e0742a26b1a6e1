"""Files written in one step: the data is on disk before the new name points at it."""
import os
import stat

import pytest

from veltra_utils.explainability.utils.files import write_text_atomically


@pytest.fixture
def synced(monkeypatch):
    """Every fsync and rename, in order: ("file", size at the sync), ("folder",), ("replace",)."""
    calls = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(descriptor):
        status = os.fstat(descriptor)
        calls.append(("folder",) if stat.S_ISDIR(status.st_mode) else ("file", status.st_size))
        return real_fsync(descriptor)

    def replace(source, target):
        calls.append(("replace",))
        return real_replace(source, target)

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    return calls


def test_the_whole_file_is_synced_before_the_rename_and_the_folder_after(tmp_path, synced):
    path = tmp_path / "report.html"
    path.write_text("old")
    write_text_atomically(str(path), "new text, longer than the old")
    assert synced == [("file", len("new text, longer than the old")), ("replace",), ("folder",)]
    assert path.read_text() == "new text, longer than the old"


def test_a_folder_that_cannot_be_synced_still_gets_its_file(tmp_path, monkeypatch):
    real_fsync = os.fsync

    def fsync(descriptor):
        if stat.S_ISDIR(os.fstat(descriptor).st_mode):
            raise OSError(22, "Invalid argument")
        return real_fsync(descriptor)

    monkeypatch.setattr(os, "fsync", fsync)
    path = tmp_path / "stats.json"
    write_text_atomically(str(path), "{}")
    assert path.read_text() == "{}"
    assert [name for name in os.listdir(tmp_path) if name != "stats.json"] == []


def test_a_failed_sync_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    def fsync(descriptor):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(os, "fsync", fsync)
    path = tmp_path / "stats.json"
    path.write_text("old")
    with pytest.raises(OSError, match="Input/output"):
        write_text_atomically(str(path), "new")
    assert path.read_text() == "old"
    assert os.listdir(tmp_path) == ["stats.json"]
