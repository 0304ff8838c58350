# Set-up and test entry points.  `make demo` and `make test` each do the whole
# set-up on a fresh machine: find CPython 3.13, make .venv, install the
# dependencies, build the module, then run.

VENV      := .venv
VPY       := $(VENV)/bin/python
SOURCES   := $(shell find src -name '*.cc' -o -name '*.h') CMakeLists.txt pyproject.toml
CPP_TESTS := $(wildcard cpp_tests/*.cc)
CPP_BUILD := build/cpp
JOBS      := 2

.PHONY: all demo test test-cpp test-py bench fuzz test-asan test-tsan clean

all: $(VENV)/.built

$(VENV)/.created:
	@PY="$$(tools/find_python.sh)" && echo "using $$PY" && "$$PY" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

$(VENV)/.deps: $(VENV)/.created pyproject.toml
	$(VPY) -m pip install --quiet "scikit-build-core>=0.11" "pybind11>=3.0" "numpy>=1.26" \
	    "pytest>=8" "hypothesis>=6" cmake ninja
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

$(CPP_BUILD)/movra_core_tests: $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_BENCH=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: $(CPP_BUILD)/movra_core_tests
	$(CPP_BUILD)/movra_core_tests

test-py: $(VENV)/.built
	$(VPY) -m pytest -q

test: test-cpp test-py

demo: $(VENV)/.built
	$(VPY) examples/demo.py

bench: $(VENV)/.built $(CPP_BUILD)/movra_core_tests
	$(VPY) -m pip install --quiet pandas polars
	$(CPP_BUILD)/movra_core_bench
	for b in bench/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build $(VENV)
