# The two commands of the README, plus benchmarks and the sanitizer run.
#   make demo   fresh virtual environment, install velmor, run the example tour
#   make test   fresh virtual environment, install velmor with its test extra, run the tests
#   make oldest the same with the oldest build tools and dependencies that pyproject.toml allows
#   make stubs  write the type stubs (src/velmor-stubs) from the velmor installed in the venv
# With LIBOQS_SOURCE (a liboqs source tarball or directory), make test, make oldest and make
# sanitize build liboqs from it (make liboqs), install the binding and run every test on the real
# liboqs too.
PYTHON := $(shell scripts/find-python)
VENV   ?= .venv
ASAN_VENV ?= .venv-asan
OLDEST_VENV ?= .venv-oldest
LIBOQS_PREFIX := $(CURDIR)/build/liboqs
comma := ,
TEST_EXTRAS := $(if $(LIBOQS_SOURCE),[test$(comma)quantum],[test])
TEST_ENV := $(if $(LIBOQS_SOURCE),OQS_INSTALL_PATH=$(LIBOQS_PREFIX))

.PHONY: demo test oldest bench sanitize venv clean liboqs stubs

# a fresh virtual environment with velmor installed (and the extras named in EXTRAS)
venv:
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q ".$(EXTRAS)"

demo:
	$(MAKE) venv EXTRAS=
	$(VENV)/bin/python examples/tour.py

test: $(if $(LIBOQS_SOURCE),liboqs)
	$(MAKE) venv EXTRAS=$(TEST_EXTRAS)
	cd tests && $(TEST_ENV) ../$(VENV)/bin/python -m pytest -q -rs -p no:cacheprovider .
	$(VENV)/bin/python -m mypy.stubtest velmor

# After a change to the package's surface, install it in $(VENV) first (make venv, or
# pip install --no-build-isolation .); tests/test_stubs.py fails while the stubs are stale.
stubs:
	$(VENV)/bin/python scripts/make_stubs.py

liboqs:
	scripts/build-liboqs "$(LIBOQS_SOURCE)" "$(LIBOQS_PREFIX)"

# A lower bound in pyproject.toml that is too low fails here.
oldest: $(if $(LIBOQS_SOURCE),liboqs)
	rm -rf $(OLDEST_VENV)
	$(PYTHON) -m venv $(OLDEST_VENV)
	$(OLDEST_VENV)/bin/python -m pip install -q --upgrade pip
	$(PYTHON) scripts/lowest-requirements > $(OLDEST_VENV)/lowest.txt
	cat $(OLDEST_VENV)/lowest.txt
	$(OLDEST_VENV)/bin/python -m pip install -q -c $(OLDEST_VENV)/lowest.txt \
	  --build-constraint $(OLDEST_VENV)/lowest.txt -Cbuild-dir=build/oldest ".$(TEST_EXTRAS)"
	cd tests && $(TEST_ENV) ../$(OLDEST_VENV)/bin/python -m pytest -q -rs -p no:cacheprovider .

bench:
	$(MAKE) venv EXTRAS=
	$(VENV)/bin/python bench/run.py

# AddressSanitizer and UndefinedBehaviorSanitizer build, the test suite run under it. The host
# allocates with malloc there (PYTHONMALLOC), so that a read past any of its buffers is seen.
sanitize: $(if $(LIBOQS_SOURCE),liboqs)
	rm -rf $(ASAN_VENV)
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	VELMOR_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q ".$(TEST_EXTRAS)" -Cbuild-dir=build/asan
	cd tests && $(TEST_ENV) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ../$(ASAN_VENV)/bin/python -m pytest -q -rs -p no:cacheprovider .

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(OLDEST_VENV) build
