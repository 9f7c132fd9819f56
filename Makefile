# pyzeb developer entry points.  `make run` and `make test` do all the set-up
# on a fresh machine: a virtual environment with a Python 3.12+, the build
# tools, and the module built from this tree.

VENV      ?= .venv
PY        := $(VENV)/bin/python
FILE      ?= data
# The optional dependencies (pyproject's extras: dask, zarr, fits, cli, all),
# so that every test runs.
EXTRAS    := "dask[array]>=2024.1" "distributed>=2024.1" "fsspec>=2023.1" "zarr>=3.0" "numcodecs>=0.13" \
             "astropy>=6.0" "tqdm>=4.60" "Pillow>=10.0" "matplotlib>=3.8"
EXTRAS    += "aiohttp>=3.8" "requests>=2.28" "s3fs>=2023.1" "moto[server]>=5.0"  # URLs read by ranges, and the test servers
EXTRAS    += "xarray>=2024.1"  # the xarray backend and references opened by xarray's zarr engine
EXTRAS    += "napari>=0.5" "npe2>=0.7" "PyQt6>=6.5"  # the napari reader and its viewer test (about 2 minutes to install)
FUZZ_TIME ?= 20
SAN_DIR   := build/sanitize
FUZZ_DIR  := build/fuzz

.PHONY: all venv install run pytest test sanitize sanitize-full cross-full cpp-test fuzz fuzz-ci fuzz-run fuzz-build bench clean cross wheel test-aarch64-python \
        docs doctest sdist

all: install

$(VENV)/.ready: pyproject.toml
	@test -x $(PY) || $$(sh tools/find-python.sh) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check "numpy>=2" "scikit-build-core>=0.10" "setuptools-scm>=8" "pytest>=7" $(EXTRAS)
	@touch $@

venv: $(VENV)/.ready

install: $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

# A tour of the zeb command on the sample files (or FILE=path, a file or a directory).
run: install
	@sh tools/tour.sh $(VENV)/bin/zeb $(FILE)

pytest: install
	$(PY) -X dev -m pytest -q -rs

# Every test: the test suite, the documentation (built, and its examples
# run), the suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (without the tests that spend their time in Python processes and servers
# rather than in the library: make sanitize-full runs them all), the fuzz
# targets (saved inputs and a short run), the C/C++ package and the cross
# checks, closing with the time each part took and the counts they reported.
test:
	@sh tools/run-tests.sh

# The extension built with ASan and UBSan, and the test suite run against it.
# It builds only the portable decoder and counting loops; the other runs take
# the ones for the CPU's BMI2 and AVX2 where it has them.  `make sanitize`
# leaves out SAN_SKIP, the tests whose time goes to starting interpreters and
# clusters (the command's, Dask's); `make sanitize-full` runs every test.
SAN_SKIP  ?= --ignore=tests/test_cli.py --ignore=tests/test_cli_archive.py --ignore=tests/test_cli_integrity.py \
             --ignore=tests/test_stack_zarr.py --ignore=tests/test_version.py
sanitize-full: SAN_SKIP =
sanitize-full: sanitize
sanitize: $(VENV)/.ready
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEB_PYTHON=ON -DZEB_SANITIZE=address,undefined -DZEB_PORTABLE=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_DIR)
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so) \
	    PYZEB_BUILD_DIR=$(abspath $(SAN_DIR)) PYTHONPATH=$(abspath $(SAN_DIR)) $(PY) -m pytest -q -rs -p no:cacheprovider $(SAN_SKIP)

# The library as a C/C++ package: installed (shared and static) into
# build/cpp, the examples built against it with CMake and pkg-config, and
# zeb.hpp's tests.
cpp-test:
	@sh tools/test-cpp.sh

clean:
	rm -rf build $(VENV)

# The library on the other platforms: Linux aarch64 (under qemu) and Windows
# x86-64 (under wine) compared byte for byte with this machine, macOS arm64
# and x86_64 compiled and linked with zig.  Installs what it needs where it
# can; skips, saying so, what it cannot.
cross: $(VENV)/.ready
	@CROSS_QUICK=$(CROSS_QUICK) sh tools/cross-check.sh $(PY)

# Every cross check (make test leaves out two that only compile the library
# once more: CROSS_QUICK=1), then the whole test suite on Linux aarch64 under
# qemu.
CROSS_QUICK ?= 0
cross-full: CROSS_QUICK = 0
cross-full: cross test-aarch64-python

# The test suite on Linux aarch64 under qemu, with Debian's arm64 Python and
# NumPy (not in `make test`: slow under emulation).  ARGS: test files only.
test-aarch64-python:
	sh tools/aarch64-python.sh $(ARGS)

# This machine's wheel, repaired with auditwheel, installed into a new virtual
# environment and tested there (no compiler or CMake on the PATH).
wheel: $(VENV)/.ready
	sh tools/wheel-check.sh $(PY)

# The source distribution, checked with twine, installed from source into a
# new virtual environment and tested there.
sdist: $(VENV)/.ready
	sh tools/sdist-check.sh $(PY)

# The documentation site, into build/docs/html, warnings as errors; the
# packages of the docs extra are installed first.
$(VENV)/.docs-ready: pyproject.toml $(VENV)/.ready
	$(PY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))' | \
	    xargs $(PY) -m pip install -q --disable-pip-version-check
	@touch $@

docs: install $(VENV)/.docs-ready
	rm -rf build/docs
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs/html
	@echo "docs: build/docs/html/index.html"

# Every example of the documentation and of the docstrings, as doctests,
# each page in an empty directory of its own.
doctest: install
	$(PY) -X dev -m pytest -q -rs -p no:cacheprovider --doctest-glob='*.md' docs tests/test_docstrings.py

bench: install
	$(PY) -m pip install -q --disable-pip-version-check imagecodecs
	$(PY) bench/bench.py
	$(PY) bench/bench_pyzeb.py
	$(PY) bench/bench_cli.py
	$(PY) bench/bench_fits.py

# ---- fuzzing (libFuzzer, clang from Debian's packages) --------------------
FUZZ_TARGETS := fuzz_decode fuzz_read fuzz_roundtrip fuzz_index fuzz_lanes
FUZZ_TARGETS += fuzz_zeb_hpp  # zeb.hpp: metadata checks and decode
FUZZ_SRCS    := $(wildcard src/codec/*.cpp src/rw/*.cpp)
FUZZ_COMMON  := -std=c++20 -O1 -g -Iinclude -fno-sanitize-recover=all
FUZZ_FLAGS   := $(FUZZ_COMMON) -fsanitize=fuzzer,address,undefined
# The library's sources are compiled once, instrumented alike, for all targets.
FUZZ_OBJS    := $(patsubst src/%.cpp,$(FUZZ_DIR)/obj/%.o,$(FUZZ_SRCS))
FUZZ_OBJ_FLAGS := $(FUZZ_COMMON) -fsanitize=fuzzer-no-link,address,undefined
.SECONDARY: $(FUZZ_OBJS)

$(FUZZ_DIR)/.clang:
	@mkdir -p $(FUZZ_DIR)
	sh tools/ensure-clang.sh
	@touch $@

$(FUZZ_DIR)/obj/%.o: src/%.cpp $(wildcard include/*.h src/*/*.h) $(FUZZ_DIR)/.clang
	@mkdir -p $(dir $@)
	clang++ $(FUZZ_OBJ_FLAGS) -c -o $@ $<

$(FUZZ_DIR)/%: fuzz/%.cpp $(FUZZ_OBJS) $(wildcard include/*.h src/*/*.h fuzz/*.h) $(FUZZ_DIR)/.clang
	clang++ $(FUZZ_FLAGS) -o $@ $< $(FUZZ_OBJS) $(FUZZ_LIBS)

$(FUZZ_DIR)/fuzz_zeb_hpp: include/zeb.hpp
# zeb.hpp inflates deflated metadata where zlib's header is there to build with
$(FUZZ_DIR)/fuzz_zeb_hpp: FUZZ_FLAGS += $(if $(wildcard /usr/include/zlib.h),-DZEB_HPP_WITH_ZLIB)
$(FUZZ_DIR)/fuzz_zeb_hpp: FUZZ_LIBS += $(if $(wildcard /usr/include/zlib.h),-lz)

fuzz-build: $(addprefix $(FUZZ_DIR)/,$(FUZZ_TARGETS))

# Replays the saved inputs, then fuzzes each target for FUZZ_TIME seconds.
# Without clang (and no way to install it) this is skipped, except in CI.
fuzz-ci:
	@if [ -z "$$CI" ] && ! sh tools/ensure-clang.sh >/dev/null 2>&1; then \
	  echo "skipping the fuzz targets: clang++ with libFuzzer is not available"; exit 0; fi; \
	$(MAKE) --no-print-directory fuzz-run

# Each target replays its saved inputs, then fuzzes; a failing target is
# reported and the others still run.
fuzz-run: fuzz-build
	@rc=0; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_DIR)/work-$$t fuzz/corpus/$$t; \
	  echo "== $$t: saved inputs, then $(FUZZ_TIME) s of fuzzing"; \
	  if $(FUZZ_DIR)/$$t -runs=0 fuzz/corpus/$$t > $(FUZZ_DIR)/$$t.log 2>&1 && \
	     $(FUZZ_DIR)/$$t -max_total_time=$(FUZZ_TIME) -max_len=4096 -artifact_prefix=$(FUZZ_DIR)/ \
	       $(FUZZ_DIR)/work-$$t fuzz/corpus/$$t > $(FUZZ_DIR)/$$t.log 2>&1; then \
	    tail -1 $(FUZZ_DIR)/$$t.log; echo "fuzz $$t: ok"; \
	  else tail -40 $(FUZZ_DIR)/$$t.log; echo "fuzz $$t: FAILED"; rc=1; fi; \
	done; exit $$rc

fuzz: FUZZ_TIME = 600
fuzz: fuzz-run
