# Everything a fresh machine needs goes through these targets: each one
# creates the virtual environment and installs the package on first use.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: install test lint demo bench sanitize soak clean

install: $(VENV)/.installed

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The package alone: what the demo needs.
$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(PY) -m pip install --quiet .
	touch $@

# The test tools (the pyproject's `test` dependency group, which takes in the
# `lint` group), and from the system a Java runtime (Spark) and Chromium (the
# report's browser tests). Either may be unavailable: its tests are then skipped.
$(VENV)/.test-installed: $(VENV)/.installed
	command -v java >/dev/null || (mkdir -p /usr/share/man/man1 && apt-get update -qq \
		&& DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends default-jre-headless) \
		|| echo 'No Java runtime could be installed: the Spark tests will be skipped' >&2
	command -v chromium >/dev/null || (apt-get update -qq \
		&& DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium) \
		|| echo 'No Chromium could be installed: the browser tests of the report will be skipped' >&2
	$(PY) -m pip install --quiet --upgrade 'pip>=25.1'
	$(PY) -m pip install --quiet --group test
	touch $@

test: $(VENV)/.test-installed
	$(PY) -m pytest -q

# ruff and mypy with the settings in pyproject.toml; mypy runs where the
# suite's packages are installed, so it sees their own type information.
lint: $(VENV)/.test-installed
	$(VENV)/bin/ruff check .
	$(VENV)/bin/mypy

demo: install
	$(PY) -m veltra_utils.explainability.demo

bench: $(VENV)/.test-installed
	$(PY) bench/run_all.py

# The extension built with AddressSanitizer and UBSan into its own folder,
# laid over the installed package, and the whole suite run against it.
# libstdc++ is preloaded with the ASan runtime so that C++ exceptions thrown
# by the extension are intercepted correctly. The Spark and browser tests are
# left out: the preloaded runtime would be inherited by the JVM and by Chromium,
# and neither runs the extension.
ASAN_SITE := build-asan/site
sanitize: $(VENV)/.test-installed
	$(PY) -m pip install --quiet pybind11 cmake ninja
	$(VENV)/bin/cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_SANITIZE=ON \
		-DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DPython_EXECUTABLE=$(abspath $(PY)) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir)
	$(VENV)/bin/cmake --build build-asan
	rm -rf $(ASAN_SITE) && mkdir -p $(ASAN_SITE) && cp -r src/veltra_utils $(ASAN_SITE)/
	find $(ASAN_SITE) -name '*.so' -delete
	cp build-asan/lime_tabular_explainer*.so $(ASAN_SITE)/veltra_utils/explainability/explainers/lime/
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
		VELTRA_SANITIZED=1 PYTHONPATH=$(ASAN_SITE) \
		$(PY) -m pytest -q -p no:cacheprovider -k "not spark" --ignore=tests/report/test_report_browser.py

# Longer property-based and leak runs than the test suite's bounded ones.
soak: $(VENV)/.test-installed
	VELTRA_PROPERTY_EXAMPLES=1000 VELTRA_LEAK_CALLS=2000 $(PY) -m pytest -q tests/test_robustness.py tests/test_planned_paths.py

clean:
	rm -rf build build-* $(VENV) .pytest_cache .hypothesis
