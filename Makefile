# The README's commands. `make run` and `make test` install what is missing first.
PREFIX ?= /usr/local
ARGS ?=
SAN ?=
BUILD := $(if $(SAN),build-san,build)
CMAKE_FLAGS := -G Ninja $(if $(SAN),-DLOGVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug,)

.PHONY: all deps configure build test run install clean fuzz faults

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: $(BUILD)/build.ninja

build: deps configure
	cmake --build $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure $(if $(JOBS),-j$(JOBS),)

run: build
ifeq ($(strip $(ARGS)),)
	@if [ -x scripts/demo ]; then scripts/demo $(BUILD)/logvane; else $(BUILD)/logvane; fi
else
	$(BUILD)/logvane $(ARGS)
endif

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Coverage-guided fuzzing with clang's libFuzzer: every target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz: deps
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLOGVANE_FUZZ=ON
	cmake --build build-fuzz
	scripts/fuzz build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Every fault scenario at full size (make test runs the short versions).
faults: build
	LOGVANE_BINARY=$(CURDIR)/$(BUILD)/logvane LOGVANE_SOURCE_DIR=$(CURDIR) tests/faults/run

clean:
	rm -rf build build-san build-fuzz
