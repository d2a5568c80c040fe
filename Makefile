# Quick start: `make run` prints this machine's fingerprint, `make test` runs the suite.
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_FLAGS := --no-build-isolation -Ccmake.define.VALDRUNE_WERROR=ON -Cbuild-dir=build/{wheel_tag}

.PHONY: run test install venv clean

run: install
	@$(PY) -c "from valdrune_data.fingerprint import build_device_fingerprint; print(build_device_fingerprint())"

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
