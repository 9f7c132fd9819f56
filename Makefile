# pyzeb developer entry points.  `make run` and `make test` do all the set-up
# on a fresh machine: a virtual environment with a Python 3.12+, the build
# tools, and the module built from this tree.

VENV      ?= .venv
PY        := $(VENV)/bin/python
FILE      ?= data/sample.f0
FUZZ_TIME ?= 20
SAN_DIR   := build/sanitize
FUZZ_DIR  := build/fuzz

.PHONY: all venv install run pytest test sanitize fuzz fuzz-ci bench clean

all: install

$(VENV)/.ready: pyproject.toml
	@test -x $(PY) || $$(sh tools/find-python.sh) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check "numpy>=2" "scikit-build-core>=0.10" "pytest>=7"
	@touch $@

venv: $(VENV)/.ready

install: $(VENV)/.ready
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .

run: install
	$(PY) tools/f0info.py $(FILE)

pytest: install
	$(PY) -X dev -m pytest -q

# Every test: the test suite, the suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets (saved inputs and a short run).
test: pytest sanitize fuzz-ci

# The extension built with ASan and UBSan, and the test suite run against it.
sanitize: $(VENV)/.ready
	cmake -S . -B $(SAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEB_SANITIZE=address,undefined \
	    -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(SAN_DIR)
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    LD_PRELOAD=$$(g++ -print-file-name=libasan.so):$$(g++ -print-file-name=libubsan.so) \
	    PYZEB_BUILD_DIR=$(abspath $(SAN_DIR)) PYTHONPATH=$(abspath $(SAN_DIR)) $(PY) -m pytest -q -p no:cacheprovider

clean:
	rm -rf build $(VENV)
