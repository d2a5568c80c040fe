# Quick start: `make run` prints this machine's fingerprint, `make test` runs the suite.
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_FLAGS := --no-build-isolation -Ccmake.define.VALDRUNE_WERROR=ON -Cbuild-dir=build/{wheel_tag}

.PHONY: run test install venv clean

run: install
	@$(PY) -P -c "from valdrune_data.fingerprint import build_device_fingerprint; print(build_device_fingerprint())"

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

install: venv
	@$(PY) -m pip install --quiet --disable-pip-version-check $(BUILD_FLAGS) ".[test]"

venv: $(VENV)/.ready

$(VENV)/.ready:
	@PYTHON_BIN=$$(tools/find-python312) && "$$PYTHON_BIN" -m venv $(VENV)
	@$(PY) -m pip install --quiet --disable-pip-version-check --upgrade pip
	@$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	@touch $@

clean:
	rm -rf build $(VENV) dist

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
ASAN_VENV ?= .venv-asan
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: test-sanitizers
test-sanitizers:
	@$(MAKE) --no-print-directory VENV=$(ASAN_VENV) venv
	@$(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-Ccmake.define.VALDRUNE_WERROR=ON -Ccmake.define.VALDRUNE_SANITIZE=ON -Ccmake.build-type=Debug \
		-Cbuild-dir=build/asan-{wheel_tag} ".[test]"
	$(ASAN_ENV) $(ASAN_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)
