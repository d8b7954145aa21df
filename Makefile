# Front door for building, testing and running Corvale. Each target first makes
# sure the Debian packages are there (a no-op when they are), then drives the
# CMake presets. Ninja and CMake only redo work whose inputs changed.
.PHONY: all deps build build-sanitize windows build-i686 run test test-plain test-sanitize \
        test-windows test-windows-e2e release-windows screenshot-windows bench format clean \
        soak fuzz-long lint package

all: build

deps:
	@scripts/install-deps

build/default/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset default >/dev/null

build/sanitize/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset sanitize >/dev/null

build/windows/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset windows >/dev/null

build/i686/build.ninja: CMakeLists.txt CMakePresets.json | deps
	cmake --preset i686 >/dev/null

build: deps build/default/build.ninja
	cmake --build --preset default

build-sanitize: deps build/sanitize/build.ninja
	cmake --build --preset sanitize

# The Windows tree (x86_64, static executables and their tests) and the
# build-only check of the libraries in their 32-bit form.
windows: deps build/windows/build.ninja build-i686
	cmake --build --preset windows

build-i686: deps build/i686/build.ninja
	cmake --build --preset i686

# Builds the program alone (not the tests and benchmarks of the tree) and runs
# it (with the demo sandbox when no echo host was configured for the build).
run: deps build/default/build.ninja
	cmake --build --preset default --target Corvale
	@scripts/run

# The whole suite three times: Linux plain, Linux under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows executables under Wine; and the
# static analysis of make lint. Much of a test run's time is spent waiting on
# peers and time-outs, so the next tree is built beside each run at a lower
# priority (the sanitized tree beside the plain tests, the Windows trees
# beside the sanitized tests; their output goes to build/<tree>-build.log and
# is printed when the build fails), and the analysis runs beside everything at
# the lowest (it starts once the plain build is done: the sources are read
# with its compile commands). Its report (build/lint.log) is printed at the
# end. Every part goes to its end even when an earlier one failed; fails when
# any failed. The time of each step is printed at the end.
test:
	@failed=; lint=; start=$$(date +%s); at=$$start; times=; \
	lap() { now=$$(date +%s); times="$$times, $$1 $$((now - at)) s"; at=$$now; }; \
	beside() { log=build/$$1-build.log; shift; nice -n 10 $(MAKE) --no-print-directory "$$@" >"$$log" 2>&1 || { cat "$$log"; false; }; }; \
	if $(MAKE) --no-print-directory build; then \
	  nice -n 19 scripts/lint build/default > build/lint.log 2>&1 & lint=$$!; \
	fi; lap "plain build"; \
	beside sanitize build-sanitize & next=$$!; \
	$(MAKE) --no-print-directory test-plain || failed="$$failed plain"; lap "plain tests"; \
	wait $$next || failed="$$failed sanitized-build"; lap "rest of the sanitized build"; \
	beside windows windows & next=$$!; \
	$(MAKE) --no-print-directory test-sanitize || failed="$$failed sanitize"; lap "sanitized tests"; \
	wait $$next || failed="$$failed windows-build"; lap "rest of the Windows builds"; \
	$(MAKE) --no-print-directory test-windows || failed="$$failed windows"; lap "Windows tests"; \
	if [ -n "$$lint" ] && wait $$lint; then tail -n 2 build/lint.log; \
	else cat build/lint.log 2>/dev/null; failed="$$failed lint"; fi; lap "waiting for the analysis"; \
	echo "make test: $$(( $$(date +%s) - start )) s in all: $${times#, }"; \
	if [ -n "$$failed" ]; then echo "make test: failed:$$failed" >&2; exit 1; fi

test-plain: build
	ctest --preset default

test-sanitize: build-sanitize
	ctest --preset sanitize

test-windows: windows
	ctest --preset windows

# Corvale.exe end to end under Wine on its own.
test-windows-e2e: windows
	ctest --preset windows -R '^app_win32_e2e$$'

# The portable Windows release: build/release/Corvale-<version>-win64.zip.
# Its program, built in a tree of its own, asks the public address services
# and the system's DNS servers (the windows tree is the demo build).
release-windows: deps
	cmake --preset windows -B build/release-tree -DCORVALE_ECHO_SOURCES=public \
	  -DCORVALE_BUILD_TESTS=OFF >/dev/null
	cmake --build build/release-tree --target Corvale
	scripts/release-windows build/release-tree

# Screenshots of Corvale.exe under Wine in build/screenshots/windows/.
screenshot-windows: windows
	scripts/screenshot-windows build/windows

bench: build
	scripts/bench

# The long reliability runs: the chaos soak of the whole check and the kill -9
# run against the settings file, at full length (make test runs short forms).
soak: build
	ctest --preset soak

# Every libFuzzer target for a long run each, with the corpora minimized and
# the coverage of each parser printed.
fuzz-long: deps
	scripts/fuzz-long

# clang-tidy and cppcheck over every source file; fails on any finding.
lint: build/default/build.ninja
	scripts/lint build/default

# The Debian package: with no options for the public address services and the
# system's resolvers; or for an echo page and DNS server of your own:
#   make package ECHO_HOST=ip.example.org DNS_SERVER=192.0.2.53
package: deps
	scripts/package "$(ECHO_HOST)" "$(DNS_SERVER)"

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
