# Two entry points: `make demo` and `make test`. Everything lives in .venv.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
DEPS   := scikit-build-core pybind11 cmeel-eigen numpy scipy pytest hypothesis matplotlib pandas \
          tqdm "dask[distributed]"

.PHONY: demo test install deps bench clean

# the Makefile is a prerequisite: a venv made before DEPS changed gets the new packages
$(VENV)/.deps: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(DEPS)
	touch $@

deps: $(VENV)/.deps

install: deps
	$(PIP) install -q --no-build-isolation --no-deps .

test: install
	$$(ls -t build/*/core_tests | head -n 1)
	$(PY) -m pytest -q

demo: install
	$(PY) -m velmora.demo

bench: install
	for f in benchmarks/bench_*.py; do $(PY) $$f || exit 1; done

clean:
	rm -rf build $(VENV)
