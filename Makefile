# The two commands of the README, plus benchmarks and the sanitizer run.
#   make demo   fresh virtual environment, install velmor, run the example tour
#   make test   fresh virtual environment, install velmor with its test extra, run the tests
#   make oldest the same with the oldest build tools and dependencies that pyproject.toml allows
PYTHON := $(shell scripts/find-python)
VENV   ?= .venv
ASAN_VENV ?= .venv-asan
OLDEST_VENV ?= .venv-oldest

.PHONY: demo test oldest bench sanitize venv clean

# a fresh virtual environment with velmor installed (and the extras named in EXTRAS)
venv:
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q ".$(EXTRAS)"

demo:
	$(MAKE) venv EXTRAS=
	$(VENV)/bin/python examples/tour.py

test:
	$(MAKE) venv EXTRAS=[test]
	cd tests && ../$(VENV)/bin/python -m pytest -q -p no:cacheprovider .

# A lower bound in pyproject.toml that is too low fails here.
oldest:
	rm -rf $(OLDEST_VENV)
	$(PYTHON) -m venv $(OLDEST_VENV)
	$(OLDEST_VENV)/bin/python -m pip install -q --upgrade pip
	$(PYTHON) scripts/lowest-requirements > $(OLDEST_VENV)/lowest.txt
	cat $(OLDEST_VENV)/lowest.txt
	$(OLDEST_VENV)/bin/python -m pip install -q -c $(OLDEST_VENV)/lowest.txt \
	  --build-constraint $(OLDEST_VENV)/lowest.txt -Cbuild-dir=build/oldest ".[test]"
	cd tests && ../$(OLDEST_VENV)/bin/python -m pytest -q -p no:cacheprovider .

bench:
	$(MAKE) venv EXTRAS=
	$(VENV)/bin/python bench/run.py

# AddressSanitizer and UndefinedBehaviorSanitizer build, the test suite run under it.
sanitize:
	rm -rf $(ASAN_VENV)
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip
	VELMOR_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q ".[test]" -Cbuild-dir=build/asan
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ../$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider .

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(OLDEST_VENV) build
