# Wraps CMake: `make demo` builds and shows the tool's main job, `make check` builds and runs
# every test, in a normal build and in an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Both first install what is missing (.ci/install-deps), so on a fresh Debian or Ubuntu machine
# they are all the set-up there is.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
DEMO_BUILD ?= build-demo
FUZZ_SECONDS ?= 30
# Developers and CI build with warnings as errors; a plain `cmake` build does not.
CONFIGURE = cmake -S . -DZEP_WERROR=ON

.PHONY: all build build-asan build-fuzz check test test-asan fuzz fuzz-seeds demo bench package \
	analyze format format-check clean test-cross test-aarch64 test-s390x test-python

all: build

build:
	$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-asan:
	$(CONFIGURE) -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DZEP_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

# The tool and its tests built with Debian's cross compilers for arm64 and big-endian s390x, run
# under qemu-user (build-aarch64, build-s390x). Two tests of process behaviour that no processor
# changes (kill -9 loops, creates racing each other) take minutes under emulation and are left
# to the native runs.
CROSS_SLOW ?= KilledCreatesNeverHideTheRecordsThatFollow|ConcurrentCreatesKeepEveryRecord
test-cross: test-aarch64 test-s390x

test-aarch64 test-s390x: test-%:
	$(CONFIGURE) -B build-$* -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=cmake/$*-linux-gnu.cmake
	cmake --build build-$* -j $(JOBS)
	cd build-$* && ctest --output-on-failure --no-tests=error -j $(JOBS) -E '$(CROSS_SLOW)'

# libFuzzer targets under ASan+UBSan, built with clang; `make fuzz` runs each for FUZZ_SECONDS.
build-fuzz:
	$(CONFIGURE) -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DZEP_FUZZ=ON -DZEP_TESTS=OFF -DZEP_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: build-fuzz
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j $(JOBS)

# Rewrites the committed seed corpus in fuzz/corpus.
fuzz-seeds: build-fuzz
	$(FUZZ_BUILD)/fuzz/zep_fuzz_seeds fuzz/corpus

check:
	.ci/install-deps check
	$(MAKE) test test-asan fuzz test-python

# The tool alone: a C++ compiler and cmake are all it needs.
demo:
	.ci/install-deps tool
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DZEP_TESTS=OFF
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target zep
	./examples/demo.sh $(DEMO_BUILD)/zep

# The Python package, installed without a network into a fresh virtual environment (the
# system's packages visible), and its tests against the shared library just built.
PYTHON_ENV ?= $(BUILD)/python-env
test-python: build
	rm -rf $(PYTHON_ENV)
	/usr/bin/python3 -m venv --system-site-packages $(PYTHON_ENV)
	$(PYTHON_ENV)/bin/pip install -q --no-index --no-build-isolation ./python
	cd python && LD_LIBRARY_PATH=$(CURDIR)/$(BUILD) $(CURDIR)/$(PYTHON_ENV)/bin/python -m pytest \
		-q -p no:cacheprovider tests
	rm -rf python/build python/*.egg-info

# The Debian package, zep_<version>_<arch>.deb in the build directory.
package: build
	cd $(BUILD) && cpack -G DEB

bench:
	$(CONFIGURE) -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DZEP_BENCH=ON -DZEP_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	./bench/run.sh $(BUILD)-bench

# Static analysis of src/: clang-tidy with the checks in .clang-tidy, then cppcheck.
analyze: build
	clang-tidy -p $(BUILD) --quiet $$(git ls-files 'src/*.cpp')
	cppcheck --enable=warning,style,performance,portability --std=c++20 --error-exitcode=1 \
		--inline-suppr --quiet --suppressions-list=.cppcheck-suppressions -I src src

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(DEMO_BUILD) $(BUILD)-bench build-aarch64 \
		build-s390x
