# Everything a fresh machine needs goes through these targets: each one
# creates the virtual environment and installs the package on first use.
PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src -type f -not -name '*.pyc' 2>/dev/null)

.PHONY: install test system-packages lint demo bench sanitize soak clean

install: $(VENV)/.installed

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The package alone: what the demo needs.
$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(PY) -m pip install --quiet .
	touch $@

# The test tools: the pyproject's `test` dependency group, which takes in the
# `lint` group.
$(VENV)/.test-installed: $(VENV)/.installed
	$(PY) -m pip install --quiet --upgrade 'pip>=25.1'
	$(PY) -m pip install --quiet --group test
	touch $@

# Two system packages let the whole suite run: a Java runtime for the Spark
# tests and Chromium for the report's browser tests. Without them those tests
# are skipped, each saying why. SYSTEM=1 installs the missing ones with apt-get,
# SYSTEM=0 never touches system packages; by default `make test` lists what it
# would install and asks (no, unless answered yes; never without a terminal).
# A "no" is remembered in $(VENV)/.system-declined: SYSTEM=1 installs them later.
SYSTEM ?= ask
system-packages:
	@missing=""; \
	command -v java >/dev/null || missing="$$missing default-jre-headless"; \
	command -v chromium >/dev/null || missing="$$missing chromium"; \
	[ -n "$$missing" ] || exit 0; \
	echo "The whole test suite needs these Debian packages, not installed here:"; \
	for package in $$missing; do case $$package in \
	  default-jre-headless) echo "  default-jre-headless  a Java runtime, for the Spark tests (about 190 MB)";; \
	  chromium) echo "  chromium              a headless browser, for the report's browser tests (about 360 MB)";; \
	esac; done; \
	echo "  (with the libraries they need, through apt-get install --no-install-recommends)"; \
	answer=no; \
	case "$(SYSTEM)" in \
	  1) answer=yes;; \
	  0) ;; \
	  *) if [ -f $(VENV)/.system-declined ]; then :; \
	     elif [ -t 0 ]; then printf 'Install them now with apt-get? [y/N] '; read reply || reply=; \
	       case "$$reply" in [yY]*) answer=yes;; *) mkdir -p $(VENV) && touch $(VENV)/.system-declined;; esac; \
	     fi;; \
	esac; \
	if [ $$answer = yes ]; then \
	  mkdir -p /usr/share/man/man1 && apt-get update -qq \
	    && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing \
	    && exit 0; \
	  echo "apt-get could not install them." >&2; \
	fi; \
	echo "Not installed: their tests will be skipped. To install them: make test SYSTEM=1"

# The suite in parallel, one worker per processor (JOBS=1: one process); test
# files stay whole on one worker, so each builds its shared fixtures once.
JOBS ?= auto
test: $(VENV)/.test-installed system-packages
	$(PY) -m pytest -q -n $(JOBS) --dist loadfile

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
