PY ?= python3
WERROR ?= $(if $(CI),ON,OFF)
DEV_BUILD ?= build/dev
ASAN_BUILD ?= build/asan
LSAN_BUILD ?= build/lsan
RELEASE_BUILD ?= build/release
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: setup install demo test test-asan test-leaks stress dev dev-test bench abi3-check fuzz fuzz-build test-spark clean

setup:
	@PY=$(PY) bash .ci/setup.sh

install: setup
	$(PY) -m pip install -q --no-build-isolation --no-deps \
		-C cmake.define.KESTRIX_WERROR=$(WERROR) .

demo: install
	cd /tmp && $(PY) $(CURDIR)/examples/demo.py

test: install
	cd tests && $(PY) -m pytest -p no:cacheprovider -q

# A debug build straight from CMake for quick iteration: PYTHONPATH points at it.
dev: setup
	cmake -S . -B $(DEV_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
		-DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)') \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(DEV_BUILD)

dev-test: dev
	cd tests && PYTHONPATH=$(CURDIR)/$(DEV_BUILD) $(PY) -m pytest -p no:cacheprovider -q $(PYTEST_ARGS)

# The Spark recipe starts a JVM, which hangs with the sanitizer runtime preloaded; it is Python
# around kestrix.mask, which the rest of the suite covers under the sanitizers.
SANITIZER_SKIP = --deselect tests/test_examples.py::test_spark_recipe_in_local_mode

test-asan: setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=ON \
		-DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)') \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(ASAN_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
		$(PY) -m pytest -p no:cacheprovider -q -x $(SANITIZER_SKIP)

# The suite under LeakSanitizer: Python allocates through malloc so that every object is
# tracked; the real interpreter binary is run (not a wrapper script) so that only Python and
# the module are checked. tests/lsan.supp explains each suppression.
# The stub tests run mypy in a child process, and the orjson module that mypy imports keeps
# objects from its initialization for good; they check typing, not memory.
LEAK_SKIP = --deselect tests/test_stubs.py

test-leaks: setup
	cmake -S . -B $(LSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_SANITIZE=ON \
		-DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)') \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(LSAN_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(LSAN_BUILD) \
		LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan \
		$$($(PY) -c 'import sys; print(sys.executable)') -m pytest -p no:cacheprovider -q -x \
		$(SANITIZER_SKIP) $(LEAK_SKIP)

# The heavy stress runs (10^5-call loops, 100 MB inputs, linear-time ratios) against an
# optimized build.
stress: setup
	cmake -S . -B $(RELEASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$$($(PY) -c 'import sys; print(sys.executable)') \
		-DKESTRIX_WERROR=$(WERROR) >/dev/null
	cmake --build $(RELEASE_BUILD)
	cd tests && PYTHONPATH=$(CURDIR)/$(RELEASE_BUILD) \
		$(PY) -m pytest -p no:cacheprovider -q -s -m slow $(PYTEST_ARGS) test_stress.py

# The Spark recipe in local mode (Java from the machine; PySpark, pandas and pyarrow from pip).
test-spark: install
	command -v java >/dev/null 2>&1 || (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq default-jre-headless)
	$(PY) -c "import pyspark, pandas, pyarrow" 2>/dev/null || $(PY) -m pip install -q pyspark "pandas<3" pyarrow
	cd tests && $(PY) -m pytest -p no:cacheprovider -q test_examples.py

bench: install
	$(PY) bench/run.py $(BENCH_ARGS)

fuzz-build:
	@WITH_FUZZ=1 PY=$(PY) bash .ci/setup.sh
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
			$(FUZZ_BUILD)/corpus/$$name fuzz/seeds/$$name > $(FUZZ_BUILD)/$$name.log 2>&1; then \
			tail -n 60 $(FUZZ_BUILD)/$$name.log; exit 1; fi; \
		grep -E '^stat::(number_of_executed_units|peak_rss_mb)' $(FUZZ_BUILD)/$$name.log; \
	done

clean:
	rm -rf build

# Builds the wheel and checks that its module uses the stable ABI only.
abi3-check: setup
	rm -rf build/wheelhouse
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheelhouse .
	$(PY) -c "import abi3audit" 2>/dev/null || $(PY) -m pip install -q abi3audit
	$(PY) -c "import glob, zipfile; w = glob.glob('build/wheelhouse/*.whl'); assert len(w) == 1 and 'kestrix.abi3.so' in zipfile.ZipFile(w[0]).namelist(), w"
	$(PY) -m abi3audit --strict --report build/wheelhouse/*.whl
	@# The same wheel on every newer CPython this machine has.
	@set -e; for py in $$(ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.1[2-9]*/bin/python3 \
			/usr/bin/python3.1[2-9] 2>/dev/null); do \
		$$py -c 'import sys; assert sys.version_info >= (3, 12)' 2>/dev/null || continue; \
		v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		echo "== the abi3 wheel on Python $$v"; rm -rf build/venv-$$v; $$py -m venv build/venv-$$v; \
		build/venv-$$v/bin/pip install -q build/wheelhouse/*.whl pytest hypothesis; \
		(cd tests && ../build/venv-$$v/bin/python -m pytest -p no:cacheprovider -q \
			--ignore=test_stubs.py --ignore=test_examples.py); \
	done
