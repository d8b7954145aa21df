# Front door for building, testing and running Corvale. Each target first makes
# sure the Debian packages are there (a no-op when they are), then drives the
# CMake presets. Ninja and CMake only redo work whose inputs changed.
.PHONY: all deps build build-sanitize run test test-plain test-sanitize bench format clean

all: build

deps:
	@scripts/install-deps

build/default/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset default >/dev/null

build/sanitize/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset sanitize >/dev/null

build: deps build/default/build.ninja
	cmake --build --preset default

build-sanitize: deps build/sanitize/build.ninja
	cmake --build --preset sanitize

# Builds and runs the program (with the demo sandbox when no echo host was
# configured for the build).
run: build
	@scripts/run

# The whole suite, once plain and once under AddressSanitizer and
# UndefinedBehaviorSanitizer; fails when either run fails.
test: test-plain test-sanitize

test-plain: build
	ctest --preset default

test-sanitize: build-sanitize
	ctest --preset sanitize

bench: build
	scripts/bench

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
