# Two entry points: `make demo` and `make test`. Everything lives in .venv.
PYTHON ?= python3
VENV   := .venv
# The benchmark's own environment: the peers (PHREEQC through phreeqpython, Cantera), never
# dependencies of velmora; a peer that does not install is skipped by bench_peers.py.
BENCH_VENV := .venv-bench
PEERS      := phreeqpython cantera
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
DEPS   := scikit-build-core pybind11 cmeel-eigen numpy scipy pytest hypothesis matplotlib pandas \
          tqdm "dask[distributed]" ruff mypy clang-format

.PHONY: demo test install deps ipopt bench clean

# the Makefile is a prerequisite: a venv made before DEPS changed gets the new packages
$(VENV)/.deps: Makefile
	@echo "==> Python environment $(VENV): pip and the dependencies (1-2 min the first time)"
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(DEPS)
	touch $@

deps: $(VENV)/.deps

install: deps
	@echo "==> Building the C++ engine into build/ and installing velmora (1-3 min the first time, seconds after)"
	$(PIP) install -q --no-build-isolation --no-deps .

# velmora[pyomo] for its tests: Debian's Ipopt, LAPACK and BLAS (apt, as root), then cyipopt
# (built against that Ipopt) and Pyomo into the venv. Where apt is not allowed it says why and
# goes on: the tests of velmora.pyomo then skip (pytest.importorskip).
IPOPT_APT := coinor-libipopt-dev liblapack-dev libblas-dev pkg-config
$(VENV)/.ipopt: $(VENV)/.deps
	@echo "==> Ipopt for velmora[pyomo]: Debian packages and cyipopt, pyomo (1 min the first time)"
	@if pkg-config --exists ipopt 2>/dev/null; then :; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	  apt-get install -y -q $(IPOPT_APT) >/dev/null || (apt-get update -q >/dev/null && \
	    apt-get install -y -q $(IPOPT_APT) >/dev/null) || echo "apt-get install $(IPOPT_APT) failed"; \
	else echo "skipped: apt-get not available or not root; install $(IPOPT_APT) to test velmora.pyomo"; fi
	@if pkg-config --exists ipopt 2>/dev/null; then \
	  if $(PIP) install -q cyipopt pyomo; then touch $@; \
	  else echo "skipped: pip install cyipopt pyomo failed; the tests of velmora.pyomo skip"; fi; \
	else echo "skipped: no Ipopt library (pkg-config ipopt); the tests of velmora.pyomo skip"; fi

ipopt: $(VENV)/.ipopt

test: install ipopt
	@echo "==> Lint and format of the front door, tests and benchmarks (ruff, seconds)"
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check
	@echo "==> Format of the C++ (clang-format, .clang-format; seconds)"
	$(VENV)/bin/clang-format --dry-run --Werror $$(find src tests -name '*.cpp' -o -name '*.hpp')
	@echo "==> Types of the front door (mypy, files in pyproject.toml; seconds)"
	$(VENV)/bin/mypy
	@echo "==> C++ core tests (ctest, in the build folder with the newest test programs)"
	cd "$$(dirname "$$(ls -t build/*/core_tests | head -n 1)")" && ctest --output-on-failure --no-tests=error
	@echo "==> Python tests (pytest, up to 2 min)"
	$(PY) -m pytest -q

demo: install
	@echo "==> Demo: the main job on the built-in data (seconds)"
	$(PY) -m velmora.demo

$(BENCH_VENV)/.peers:
	$(PYTHON) -m venv $(BENCH_VENV)
	for p in $(PEERS); do $(BENCH_VENV)/bin/python -m pip install -q $$p || echo "peer $$p not installed"; done
	touch $@

bench: install $(BENCH_VENV)/.peers
	for f in benchmarks/bench_*.py; do $(PY) $$f || exit 1; done

clean:
	rm -rf build $(VENV) $(BENCH_VENV)
