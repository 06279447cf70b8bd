# The README's commands. `make run` and `make test` install what is missing first.
PREFIX ?= /usr/local
ARGS ?=
SAN ?=
BUILD := $(if $(SAN),build-san,build)
# CI=1 (.ci/run sets it) makes every warning an error.
CMAKE_FLAGS := -G Ninja $(if $(SAN),-DLOGVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug,) \
  $(if $(CI),-DLOGVANE_WERROR=ON,)

.PHONY: all deps build test run install uninstall clean fuzz

all: build

deps:
	@scripts/install-deps all

# The program and its man page only; the tests come with `make test`.
build:
	@scripts/install-deps run
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DLOGVANE_TESTS=OFF
	cmake --build $(BUILD) --target logvane

define build_tests
	@scripts/netns true
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DLOGVANE_TESTS=ON >/dev/null
	cmake --build $(BUILD)
endef

test:
	@scripts/install-deps test
	$(build_tests)
	cd $(BUILD) && ctest --output-on-failure $(if $(JOBS),-j$(JOBS),)

run: build
ifeq ($(strip $(ARGS)),)
	@scripts/demo $(BUILD)/logvane
else
	$(BUILD)/logvane $(ARGS)
endif

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Removes what the last `make install` from this tree installed.
uninstall:
	@[ -f $(BUILD)/install_manifest.txt ] || { echo "uninstall: no $(BUILD)/install_manifest.txt: nothing was installed from here" >&2; exit 1; }
	tr '\n' '\0' < $(BUILD)/install_manifest.txt | xargs -0 rm -fv --
	rm -f $(BUILD)/install_manifest.txt

# Coverage-guided fuzzing with clang's libFuzzer: every target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz:
	@scripts/install-deps all
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DLOGVANE_FUZZ=ON $(if $(CI),-DLOGVANE_WERROR=ON,)
	cmake --build build-fuzz
	scripts/fuzz build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

clean:
	rm -rf build build-san build-fuzz build-portable
