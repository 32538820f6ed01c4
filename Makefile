# Wraps CMake: `make demo` builds and shows the tool's main job, `make check` builds and runs
# every test, in a normal build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all build build-asan check test test-asan demo bench package format format-check clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZEP_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

check: test test-asan

demo: build
	./examples/demo.sh $(BUILD)/zep

# The Debian package, zep_<version>_<arch>.deb in the build directory.
package: build
	cd $(BUILD) && cpack -G DEB

bench:
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DZEP_BENCH=ON -DZEP_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	./bench/run.sh $(BUILD)-bench

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BUILD)-bench
