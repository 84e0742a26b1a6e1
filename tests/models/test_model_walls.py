"""Model files that pass the allow list but would reach outside the model: arrays that claim
more memory than they carry, raw memory, vectorizers that open files, caches, processes."""
import io
import json
import zipfile

import numpy as np
import pandas as pd
import pytest
import skops.io as sio
from sklearn.compose import make_column_transformer
from sklearn.feature_extraction.text import HashingVectorizer
from sklearn.linear_model import LogisticRegression
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler

from veltra_utils.explainability.models import ModelFileError, load_model

FRAME = pd.DataFrame({"text": ["a b", "c d", "a c", "b d"], "x": [1.0, 2.0, 3.0, 4.0]})
LABELS = [0, 1, 0, 1]


def _scaler_file(path, array_bytes):
    """A fitted pipeline's skops file whose scaler mean is stored as ``array_bytes``."""
    model = make_pipeline(StandardScaler(), LogisticRegression()).fit(FRAME[["x"]], LABELS)
    source = zipfile.ZipFile(io.BytesIO(sio.dumps(model)))
    text = source.read("schema.json").decode("utf-8")
    name = json.loads(text)["content"]["content"]["steps"]["content"][0]["content"][1][
        "content"]["content"]["mean_"]["file"]
    with zipfile.ZipFile(path, "w") as archive:
        for member in source.namelist():
            archive.writestr(member, array_bytes if member == name else source.read(member))
    return path


def _array(descr, shape, data):
    stream = io.BytesIO()
    np.lib.format.write_array_header_1_0(stream, {"descr": descr, "fortran_order": False,
                                                  "shape": shape})
    return stream.getvalue() + data


@pytest.mark.parametrize("array, message", [
    (_array("<f8", (1 << 28,), b"\0" * 16), "declares 2.0 GiB but carries 16 bytes"),
    (_array("|V8", (2,), b"\0" * 16), "an array of raw memory"),
], ids=["2-GiB-header", "numpy-void"])
def test_arrays_that_claim_memory_they_do_not_carry_are_refused(tmp_path, array, message):
    with pytest.raises(ModelFileError, match=message):
        load_model(_scaler_file(tmp_path / "model.skops", array))
    honest = _array("<f8", (1,), np.array([2.5]).tobytes())
    assert load_model(_scaler_file(tmp_path / "honest.skops", honest)) is not None


def _vectorizing_model(setting):
    model = make_pipeline(make_column_transformer((HashingVectorizer(n_features=8), "text"),
                                                  remainder="passthrough", n_jobs=12),
                          LogisticRegression()).fit(FRAME, LABELS)
    setting(model)
    return model


@pytest.mark.parametrize("setting, message", [
    (lambda m: setattr(m.steps[0][1].transformers_[0][1], "input", "filename"),
     "HashingVectorizer reads input='filename'"),
    (lambda m: setattr(m, "memory", "/tmp/cache"), "caches to memory='/tmp/cache'"),
], ids=["opens-files", "caches"])
def test_settings_that_reach_outside_the_model_are_refused(tmp_path, setting, message):
    path = tmp_path / "model.skops"
    sio.dump(_vectorizing_model(setting), str(path))
    with pytest.raises(ModelFileError, match=message):
        load_model(path)


def test_a_model_runs_in_one_process(tmp_path):
    path = tmp_path / "model.skops"
    sio.dump(_vectorizing_model(lambda model: None), str(path))
    assert load_model(path).steps[0][1].n_jobs == 1  # 12 would start processes per batch
