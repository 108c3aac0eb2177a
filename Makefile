# Entry points for people and CI.  Each target sets up what it needs.
#   make run    - build (x64) and run the clock monitor
#   make test   - build and test every preset
PRESETS ?= x64 i386
RUN_ARGS ?=

.PHONY: deps run test build $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

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
	./build/x64/bin/vekhost --list ./build/x64/lib/lib-vek-yaltime.so
