# One entry point for building, testing and benchmarking; every target makes the
# virtual environment from Python 3.13 first.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check

.PHONY: venv install test run dev bench sanitize clean

venv: $(VENV)/.ready

$(VENV)/.ready: requirements-dev.txt
	python313=$$(scripts/find-python313) && "$$python313" -m venv $(VENV)
	$(PIP) install --quiet -r requirements-dev.txt
	touch $@

install: venv
	$(PIP) install --quiet .

test: install
	$(PY) -m pytest tests

run: install
	$(VENV)/bin/grammar-engine induce

# Incremental native build for development: tests then run with
# PYTHONPATH=build/dev:python.
dev: venv
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) -DENGINE_TOOLS=ON >/dev/null
	cmake --build build/dev

bench: install
	$(PY) bench/run.py

sanitize: venv
	scripts/sanitize

clean:
	rm -rf build $(VENV)

# Side-by-side report against other Python parsers (bench/peers/run.py): its own
# virtual environment bench/.venv from the same Python 3.13, with the project and
# the pinned peers installed; writes bench/results/peers.md and peers.png.
BENCH_VENV := bench/.venv
BENCH_PY := $(BENCH_VENV)/bin/python
BENCH_PIP := $(BENCH_PY) -m pip --disable-pip-version-check

.PHONY: bench-peers

$(BENCH_VENV)/.ready: bench/peers/requirements.txt
	python313=$$(scripts/find-python313) && "$$python313" -m venv $(BENCH_VENV)
	$(BENCH_PIP) install --quiet -r bench/peers/requirements.txt
	touch $@

bench-peers: $(BENCH_VENV)/.ready
	$(BENCH_PIP) install --quiet .
	PATH="$(abspath $(BENCH_VENV))/bin:$$PATH" $(BENCH_PY) bench/peers/run.py

# Scaling benchmarks (bench/scale): real-corpus induction, grammars with many
# nonterminals, and long texts against Lark's Earley parser. They run in
# bench/.venv against a snapshot build of their own in build/bench (so that a
# rebuild of build/dev cannot break a run) and write bench/results/*.md.
.PHONY: bench-scale bench-corpus bench-dense bench-long bench-short

# The earlier parser the corpus and short-string benchmarks run beside the current one.
BASELINE ?= 35a05ca

bench-corpus: $(BENCH_VENV)/.ready
	$(BENCH_PY) bench/scale/corpus.py --baseline $(BASELINE)

bench-dense: $(BENCH_VENV)/.ready
	$(BENCH_PY) bench/scale/dense.py

bench-long: $(BENCH_VENV)/.ready
	$(BENCH_PY) bench/scale/long_texts.py

bench-short: $(BENCH_VENV)/.ready
	$(BENCH_PY) bench/scale/short_strings.py --baseline $(BASELINE)

bench-scale: bench-corpus bench-dense bench-long bench-short
