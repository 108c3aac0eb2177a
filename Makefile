# Entry points for people and CI.  Each target sets up what it needs.
#   make run    - build (x64) and run the clock monitor
#   make test   - build and test every preset
#   make bench  - build (x64) and compare the clock readings' costs
#   make install [PREFIX=/usr/local] - build (x64) and install
#   make fuzz   - build the fuzz targets (clang) and run each for FUZZ_SECONDS
#   make soak   - build (x64) and run the 60 s load test (owner, 32 readers)
#   make e2e    - build (x64) and measure the clock end to end for E2E_SECONDS
#                 per case (quiet, wandering and slewed OS clocks; owner and
#                 reader); E2E_CASES="slew" (say) runs only some
# The sanitizer presets asan and tsan, and fuzz where clang is installed,
# are part of make test.
HAVE_CLANG := $(shell command -v clang++ >/dev/null 2>&1 && echo yes)
PRESETS ?= x64 i386 asan tsan $(if $(HAVE_CLANG),fuzz)
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 60
E2E_SECONDS ?= 600
RUN_ARGS ?=
# Long enough for the step at the first poll (16 s) and a few slews after it.
RUN_SECONDS ?= 90
PREFIX ?= /usr/local

# Every preset the presets file defines; build-P and test-P exist for each.
# They are static pattern rules: make looks up no implicit rule for a phony
# target, so plain build-% would never run for them.
ALL_PRESETS := x64 i386 asan tsan fuzz

.PHONY: deps run bench install test build fuzz soak e2e $(addprefix build-,$(ALL_PRESETS)) $(addprefix test-,$(ALL_PRESETS))

deps:
	@sh scripts/install-deps.sh

$(addprefix build-,$(ALL_PRESETS)): build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $*

$(addprefix test-,$(ALL_PRESETS)): test-%: build-%
	ctest --preset $* --no-tests=error

build: $(addprefix build-,$(PRESETS))

# Every preset is built before any is tested: the cross-target tests run an
# owner of one target with a reader of the other.  Every preset's tests run
# even after one fails; a line per preset at the end says how each went, and
# the target fails if any did.
test: build
	@sh scripts/test-presets.sh $(PRESETS)

run: build-x64
	./build/x64/bin/yaltime-monitor --seconds $(RUN_SECONDS) $(RUN_ARGS)

bench: build-x64
	sh bench/run_benchmarks.sh build/x64

install: build-x64
	cmake --install build/x64 --prefix $(PREFIX)

fuzz: build-fuzz
	sh tests/fuzz/run_fuzzers.sh build/fuzz $(FUZZ_SECONDS)

soak: build-x64
	./build/x64/bin/yaltime_soak --seconds $(SOAK_SECONDS)

e2e: build-x64
	sh tests/load/run_end_to_end.sh build/x64 $(E2E_SECONDS)
