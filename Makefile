# Everything a fresh machine needs goes through these targets: each one
# creates the virtual environment and installs the package on first use.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: install test demo bench sanitize clean

install: $(VENV)/.installed

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(PY) -m pip install --quiet '.[test]'
	touch $@

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) -m veltra_utils.explainability.demo

bench: install
	$(PY) bench/run_all.py

clean:
	rm -rf build build-* $(VENV) .pytest_cache .hypothesis
