# Entry points. `make test` is what CI runs: install, build, run the whole suite.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: all deps build test sanitize tsan demo bench fuzz format tidy clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DTARN_SANITIZE=ON -DTARN_BENCH=OFF"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DTARN_TSAN=ON -DTARN_BENCH=OFF"

# libFuzzer targets built with clang under AddressSanitizer and UndefinedBehaviorSanitizer, each run
# for FUZZ_SECONDS after its seeds.
FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARN_FUZZ=ON -DTARN_SANITIZE=ON -DTARN_BENCH=OFF -DTARN_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

bench: build
	$(BUILD)/bench/tarn_bench $(BENCH_ARGS)

demo: build
	@scripts/demo.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

tidy: build
	clang-tidy -p $(BUILD) --quiet $$(git ls-files 'src/*.cpp')

clean:
	rm -rf build build-asan build-tsan build-fuzz
