# Entry points. `make test` is what CI runs: install, build, run the whole suite, then the suite
# under the sanitizers and a short run of every fuzzer.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5

.PHONY: all deps build check test sanitize tsan valgrind demo bench bench-ratios fuzz deb format tidy clean
.PHONY: bench-users

all: build

deps:
	@scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARN_TESTS=ON -DTARN_BENCH=ON \
	    $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# The suite on the optimised build.
check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test: check sanitize tsan

# The suite under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, built with clang
# and libFuzzer's coverage so that the same build also runs every fuzzer for a short while.
sanitize: deps
	@CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARN_SANITIZE=ON -DTARN_FUZZ=ON -DTARN_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)
	fuzz/run.sh build-asan $(FUZZ_SMOKE_SECONDS)

# Reads on one slide from several threads while other slides open and close, under
# ThreadSanitizer.
tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_TSAN=ON \
	    -DTARN_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS) --target tarn_tsan_tests tarn_remote_tests
	cd build-tsan && ctest --output-on-failure

# libFuzzer targets built with clang under the sanitizers, each run for FUZZ_SECONDS.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARN_FUZZ=ON -DTARN_SANITIZE=ON -DTARN_BENCH=OFF -DTARN_TESTS=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# The suite under valgrind's memcheck (slow: the colour-table reference comparisons are left to
# the other runs). libjpeg-turbo and x265 run without their SIMD code, whose definedness valgrind
# cannot follow.
valgrind: build
	cd $(BUILD)/tests && JSIMD_FORCENONE=1 TARNWRITER_X265_PARAMS=asm=0 valgrind --error-exitcode=9 \
	    --leak-check=full --errors-for-leak-kinds=definite,indirect --suppressions=../../tests/valgrind.supp ./tarn_tests \
	    --gtest_filter='-ParameterSets/WholeTable*:ColorTable.BaselineCodeBuildsTheSameTable'

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target tarn_bench
	$(BUILD)/bench/tarn_bench $(BENCH_ARGS)

# The table of docs/performance.md: each figure a ratio measured in fresh processes, both sides
# alternating, medians of RATIO_ROUNDS rounds. RATIO_ARGS="--before DIR" adds rows against
# another build of the library (DIR holds its libDecodeTarn.so.1).
RATIO_ROUNDS ?= 7
RATIO_ARGS ?=
bench-ratios: build
	cmake --build $(BUILD) -j $(JOBS) --target tarn_ratios
	$(BUILD)/bench/tarn_ratios --rounds $(RATIO_ROUNDS) $(RATIO_ARGS)

# The speeds users meet (bench/users/run.py): the fixed interface's open, vips dzsave through
# libopenslide.so.0, cold regions beside OpenSlide and Deep Zoom beside openslide-python.
USERS_ROUNDS ?= 5
bench-users: build
	cmake --build $(BUILD) -j $(JOBS) --target write_bench_slide tarn_peer_probe
	/usr/bin/python3 bench/users/run.py --build $(BUILD) --rounds $(USERS_ROUNDS)

# The main job: only what it needs is installed and built (the library and the tool).
demo:
	@scripts/install-deps.sh demo
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target tarn
	@scripts/demo.sh $(BUILD)

# The Debian package of the optimised build (CPack): library, headers, tool, pkg-config file and
# CMake package under /usr, dependencies from dpkg-shlibdeps. Prints the package's path.
deb: build
	cd $(BUILD) && cpack -G DEB
	@ls -t $(BUILD)/packages/*.deb | head -n 1

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

tidy: build
	clang-tidy -p $(BUILD) --quiet $$(git ls-files 'src/*.cpp' 'util/*.cpp')

clean:
	rm -rf build build-asan build-tsan build-fuzz out
