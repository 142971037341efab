# Thin wrapper over CMake: `make run` starts the panel, `make test` runs every test.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

# The makefiles CMake generates run make within make: without this each level
# says which folder it enters and leaves, hundreds of lines when nothing is to
# be done. Errors show as before; a Ninja build ignores it.
MAKEFLAGS += --no-print-directory

SAN_BUILD ?= build-san
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

.PHONY: all deps configure build run test test-fast test-sanitize package install clean

all: build

deps:
	@scripts/ensure-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# The panel against the simulated projector on COM1, in a demo configuration
# folder of its own; SIM_ARGS go to the simulator (e.g. SIM_ARGS=--no-answer).
run: build
	@BUILD=$(BUILD) scripts/demo.sh $(SIM_ARGS)

# Every test, then the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer with short fuzz runs.
test: test-fast test-sanitize

test-fast: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-sanitize: deps
	@CC=clang CXX=clang++ cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DKAVO_FUZZ=ON "-DCMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
	  "-DCMAKE_EXE_LINKER_FLAGS=$(SAN_FLAGS)" >/dev/null
	@cmake --build $(SAN_BUILD) -j$(JOBS)
	@cd $(SAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS)

# A Debian package in $(BUILD): kavo-control_<version>_<arch>.deb
package: build
	@cd $(BUILD) && cpack -G DEB

install: build
	@cmake --install $(BUILD)

clean:
	@rm -rf $(BUILD) $(SAN_BUILD)

# The benchmark, not part of `make test`: a Release build of its own, the
# panel measured on a virtual display against a bare Qt window and the
# service on pseudo-terminals against the line alone, on an MQTT broker and
# its web page in Chromium, one table.
# BENCH_ARGS=--quick makes fewer runs (for working on the benchmark itself).
BENCH_BUILD ?= build-bench
.PHONY: bench
bench:
	@KAVO_WITH_BENCH=1 scripts/ensure-deps.sh
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKAVO_BENCH=ON >/dev/null
	@echo "Building the benchmark (log: $(BENCH_BUILD)/build.log) ..."
	@cmake --build $(BENCH_BUILD) -j$(JOBS) --target kavo-bench >$(BENCH_BUILD)/build.log 2>&1 \
	  || { tail -n 40 $(BENCH_BUILD)/build.log; exit 1; }
	@$(BENCH_BUILD)/bench/kavo-bench $(BENCH_ARGS)

# The Windows build, not part of `make test`. The first run builds Qt 6.4.2
# for MinGW-w64 into ~/.cache/kavo-control (about half an hour on 2 cores,
# at the lowest priority), later runs reuse it. Warnings are errors; GCC 12
# warns of designated initializers that leave members out, which the option
# tables and many other rows do on purpose, so that one warning is off. The
# result: $(WIN_BUILD)/kavo-control-<version>-win64.zip and the installer
# $(WIN_BUILD)/kavo-control-<version>-win64-setup.exe, their sizes printed.
# ccache, where it is installed, keeps the compiles of one tree for the next.
WIN_BUILD ?= build-win
QT_WIN = $(shell scripts/build-qt-windows.sh --prefix)
.PHONY: windows windows-test
windows:
	@KAVO_WITH_WINDOWS=1 scripts/ensure-deps.sh
	@JOBS=$(JOBS) nice -n 19 scripts/build-qt-windows.sh
	@cmake -S . -B $(WIN_BUILD) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_PREFIX_PATH=$(QT_WIN) -DCMAKE_BUILD_TYPE=Release \
	  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
	  -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
	  $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) \
	  "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Wno-missing-field-initializers" \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS)
	@cd $(WIN_BUILD) && cpack -G ZIP >/dev/null
	@echo "$(WIN_BUILD)/$$(cd $(WIN_BUILD) && ls -t kavo-control-*-win64.zip | head -n 1)"
	@scripts/build-windows-installer.sh $(WIN_BUILD)
	@cd $(WIN_BUILD) && for f in $$(ls -t kavo-control-*-win64.zip | head -n 1) \
	  $$(ls -t kavo-control-*-win64-setup.exe | head -n 1); do \
	  echo "$$f: $$(stat -c %s $$f | awk '{ printf "%.1f MB", $$1 / 1048576 }')"; done

# The Windows programs under Wine on a virtual display, against the simulated
# projector of the Linux build: the test suites that need no pseudo-terminal,
# the settings in the registry, the zip's panel through COM1 (several starts),
# kavoctl.exe over TCP; each stage is a script in scripts/windows-test/.
windows-test: windows configure
	@cmake --build $(BUILD) -j$(JOBS) --target kavo-projector-sim kavo-button-centre
	@scripts/windows-test.sh $(WIN_BUILD) $(BUILD)
