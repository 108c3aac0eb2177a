# Entry points for people and CI.  Each target sets up what it needs.
#   make run    - build (x64) and run the clock monitor
#   make test   - build and test every preset
#   make bench  - build (x64) and compare the clock readings' costs
#   make install [PREFIX=/usr/local] - build (x64) and install
PRESETS ?= x64 i386
RUN_ARGS ?=
# Long enough for the step at the first poll (16 s) and a few slews after it.
RUN_SECONDS ?= 90
PREFIX ?= /usr/local

.PHONY: deps run bench install test build $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

deps:
	@sh scripts/install-deps.sh

build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

build: $(addprefix build-,$(PRESETS))

# Every preset is built before any is tested: the cross-target tests run an
# owner of one target with a reader of the other.
test: build
	@for p in $(PRESETS); do ctest --preset $$p || exit 1; done

run: build-x64
	./build/x64/bin/yaltime-monitor --seconds $(RUN_SECONDS) $(RUN_ARGS)

bench: build-x64
	sh bench/run_benchmarks.sh build/x64

install: build-x64
	cmake --install build/x64 --prefix $(PREFIX)
