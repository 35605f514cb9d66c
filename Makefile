# The interpreter. Without PY=, a project virtual environment (.venv, made from python3) holds
# the build tools and the module; PY= names another interpreter to use as it is, unless it is
# a system Python that refuses installs (PEP 668, as Debian's does): .venv is then made from it.
PY ?= python3
VENV ?= .venv
PYTHON := $(shell PY='$(PY)' PY_GIVEN='$(if $(filter command line environment,$(origin PY)),1)' \
	VENV='$(abspath $(VENV))' sh .ci/python.sh)
WERROR ?= $(if $(CI),ON,OFF)
DEV_BUILD ?= build/dev
ASAN_BUILD ?= build/asan
LSAN_BUILD ?= build/lsan
RELEASE_BUILD ?= build/release
FUZZ_BUILD ?= build/fuzz
WHEEL_BUILD ?= build/wheel
FUZZ_SECONDS ?= 60
# CMake's view of the interpreter: the real binary, not a shim or a venv's link to it.
CMAKE_PY = -DPython_EXECUTABLE=$$($(PYTHON) -c 'import sys; print(sys.executable)')

.PHONY: setup wheel install demo test dev-configure core-tests test-asan test-leaks stress dev dev-test bench abi3-check fuzz fuzz-build test-spark clean

setup:
	@PY='$(PY)' PYTHON='$(PYTHON)' VENV='$(abspath $(VENV))' bash .ci/setup.sh

# The wheel for other machines: an abi3 module with libcrypto linked in, tagged manylinux by
# auditwheel, in build/wheelhouse. CMake builds in $(WHEEL_BUILD), so that a second run only
# rebuilds what changed (pip alone builds in a temporary directory).
wheel: setup
	rm -rf build/dist build/wheelhouse
	$(PYTHON) -m pip wheel -q --no-build-isolation --no-deps -w build/dist \
		--config-settings=cmake.define.KESTRIX_WERROR=$(WERROR) \
		--config-settings=build-dir=$(CURDIR)/$(WHEEL_BUILD) .
	PATH="$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$$PATH" \
		$(PYTHON) -m auditwheel repair -w build/wheelhouse build/dist/kestrix-*.whl

install: wheel
	$(PYTHON) -m pip install -q --no-deps --force-reinstall build/wheelhouse/kestrix-*.whl

demo: install
	cd /tmp && $(PYTHON) $(CURDIR)/examples/demo.py

# The suite runs against the installed wheel; the C++ core tests come from the debug build.
test: install core-tests
	cd tests && KESTRIX_CORE_TESTS=$(CURDIR)/$(DEV_BUILD)/kestrix_core_tests \
		KESTRIX_WHEEL=$$(ls $(CURDIR)/build/wheelhouse/kestrix-*.whl) \
		$(PYTHON) -m pytest -p no:cacheprovider -q $(PYTEST_ARGS)

# A debug build straight from CMake for quick iteration: PYTHONPATH points at it (its
# kestrix/ holds the module and links to the package's files).
dev-configure: setup
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(CMAKE_PY) \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null

dev: dev-configure
	cmake --build $(DEV_BUILD)

core-tests: dev-configure
	cmake --build $(DEV_BUILD) --target kestrix_core_tests

dev-test: dev
	cd tests && PYTHONPATH=$(CURDIR)/$(DEV_BUILD) KESTRIX_CORE_TESTS=$(CURDIR)/$(DEV_BUILD)/kestrix_core_tests \
		$(PYTHON) -m pytest -p no:cacheprovider -q $(PYTEST_ARGS)

# The Spark recipe starts a JVM, which hangs with the sanitizer runtime preloaded; it is Python
# around kestrix.mask, which the rest of the suite covers under the sanitizers. The wheel test
# builds and installs a wheel, which says nothing about memory.
SANITIZER_SKIP = --deselect tests/test_examples.py::test_spark_recipe_in_local_mode \
	--deselect tests/test_install.py

test-asan: setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=ON $(CMAKE_PY) \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(ASAN_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) KESTRIX_CORE_TESTS=$(CURDIR)/$(ASAN_BUILD)/kestrix_core_tests \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
		$(PYTHON) -m pytest -p no:cacheprovider -q -x $(SANITIZER_SKIP)

# The suite under LeakSanitizer: Python allocates through malloc so that every object is
# tracked; the real interpreter binary is run (not a wrapper script) so that only Python and
# the module are checked. tests/lsan.supp explains each suppression.
# The stub tests run mypy in a child process, and the orjson module that mypy imports keeps
# objects from its initialization for good; they check typing, not memory.
LEAK_SKIP = --deselect tests/test_stubs.py

test-leaks: setup
	cmake -S . -B $(LSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=ON $(CMAKE_PY) \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(LSAN_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(LSAN_BUILD) KESTRIX_CORE_TESTS=$(CURDIR)/$(LSAN_BUILD)/kestrix_core_tests \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
		$$($(PYTHON) -c 'import sys; print(sys.executable)') -m pytest -p no:cacheprovider -q -x \
		$(SANITIZER_SKIP) $(LEAK_SKIP)

# The heavy stress runs (10^5-call loops, 100 MB inputs, linear-time ratios) against an
# optimized build.
stress: setup
	cmake -S . -B $(RELEASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_PY) \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(RELEASE_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(RELEASE_BUILD) \
		$(PYTHON) -m pytest -p no:cacheprovider -q -s -m slow $(PYTEST_ARGS) test_stress.py

# The Spark recipe in local mode (Java from the machine; PySpark, pandas and pyarrow from pip).
test-spark: install
	command -v java >/dev/null 2>&1 || (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq default-jre-headless)
	$(PYTHON) -c "import pyspark, pandas, pyarrow" 2>/dev/null || $(PYTHON) -m pip install -q pyspark "pandas<3" pyarrow
	cd tests && $(PYTHON) -m pytest -p no:cacheprovider -q test_examples.py

bench: install
	$(PYTHON) bench/run.py $(BENCH_ARGS)

# Recall on labeled record-shaped lines (rows, lists, logs, forms) and stray findings on reviews.
.PHONY: quality
quality: install
	$(PYTHON) bench/quality.py $(QUALITY_ARGS)

fuzz-build:
	@WITH_FUZZ=1 PY='$(PY)' PYTHON='$(PYTHON)' VENV='$(abspath $(VENV))' bash .ci/setup.sh
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DKESTRIX_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug \
		-DCMAKE_CXX_COMPILER=clang++-19 -DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(FUZZ_BUILD)

# Runs every fuzz target for FUZZ_SECONDS; new inputs go to build/, seeds stay in fuzz/seeds.
fuzz: fuzz-build
	@set -e; for t in $(FUZZ_BUILD)/fuzz_*; do \
		[ -x "$$t" ] || continue; name=$$(basename $$t); \
		mkdir -p $(FUZZ_BUILD)/corpus/$$name fuzz/seeds/$$name; \
		echo "== $$name ($(FUZZ_SECONDS) s)"; \
		if ! UBSAN_OPTIONS=suppressions=fuzz/ubsan.supp:halt_on_error=1:print_stacktrace=1 \
			$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
			$$([ -f fuzz/$$name.dict ] && echo -dict=fuzz/$$name.dict) \
			$(FUZZ_BUILD)/corpus/$$name fuzz/seeds/$$name > $(FUZZ_BUILD)/$$name.log 2>&1; then \
			tail -n 60 $(FUZZ_BUILD)/$$name.log; exit 1; fi; \
		grep -E '^stat::(number_of_executed_units|peak_rss_mb)' $(FUZZ_BUILD)/$$name.log; \
	done

clean:
	rm -rf build

# The wheel of `make wheel` against the stable ABI (abi3audit) and the manylinux policy
# (auditwheel), then the suite on every newer CPython this machine has.
abi3-check: wheel
	$(PYTHON) -m abi3audit --strict --report build/wheelhouse/kestrix-*.whl
	$(PYTHON) -m auditwheel show build/wheelhouse/kestrix-*.whl
	@set -e; for py in $$(ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.1[2-9]*/bin/python3 \
			/usr/bin/python3.1[2-9] 2>/dev/null); do \
		$$py -c 'import sys; assert sys.version_info >= (3, 12)' 2>/dev/null || continue; \
		v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		echo "== the abi3 wheel on Python $$v"; rm -rf build/venv-$$v; $$py -m venv build/venv-$$v; \
		build/venv-$$v/bin/pip install -q build/wheelhouse/kestrix-*.whl pytest hypothesis; \
		(cd tests && ../build/venv-$$v/bin/python -m pytest -p no:cacheprovider -q \
			--ignore=test_stubs.py --ignore=test_examples.py --ignore=test_install.py); \
	done
