# Front door: `make` builds the program, `make demo` runs it on a built-in
# example, `make test` builds and runs every test, `make install` installs
# the program and the library, `make python` builds the Python module into
# build-python/ and `make test-python` tests it, `make bench` and `make bench-quick` compare
# quarnix with lz4, zstd, xz and zlib.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# The benchmark's smoke test joins the tests where the peers' libraries are installed.
BENCH_FLAG := $(shell pkg-config --exists liblz4 libzstd liblzma zlib 2>/dev/null && echo -DQRN_BENCH=ON)

.PHONY: all deps demo test test-sanitize install python test-python clean bench bench-quick bench-build bench-deps fuzz cross-aarch64 cross-s390x windows identity

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target quarnix

demo: all
	./scripts/demo.sh $(BUILD)/quarnix

deps:
	@./scripts/deps.sh

test: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DQRN_TESTS=ON $(BENCH_FLAG) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit and end-to-end tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DQRN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# The Python module (python/), linked with this build's libquarnix.a, built in
# place into $(PYBUILD)/lib for the interpreter PYTHON (Debian's, which the
# packages scripts/deps.sh installs serve); its tests also run the program.
PYTHON ?= /usr/bin/python3
PYBUILD ?= build-python

python:
	@./scripts/deps.sh python
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target quarnix quarnix_static
	cd python && QRN_BUILD_DIR=$(CURDIR)/$(BUILD) QRN_JOBS=$(JOBS) $(PYTHON) setup.py -q build \
		--build-base $(CURDIR)/$(PYBUILD) --build-lib $(CURDIR)/$(PYBUILD)/lib

test-python: python
	QRN_PROGRAM=$(CURDIR)/$(BUILD)/quarnix PYTHONPATH=$(CURDIR)/$(PYBUILD)/lib $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

# Cross builds for aarch64 and s390x (big-endian) into build-aarch64/ and
# build-s390x/, their tests run under qemu-user. They need Debian's
# g++-aarch64-linux-gnu, g++-s390x-linux-gnu and qemu-user.
cross-aarch64 cross-s390x: cross-%:
	@./scripts/deps.sh cross
	cmake -S . -B build-$* -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-$*.cmake -DCMAKE_BUILD_TYPE=Release -DQRN_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-$* -j $(JOBS)
	cd build-$* && ctest --output-on-failure -j $(JOBS)

# Windows x64 with mingw-w64 into build-windows/: quarnix.exe, quarnix.dll
# with its import library libquarnix.dll.a, and libquarnix.a; the unit and
# library tests run under Wine in a prefix of their own (build-windows/wine).
# Then test_cli, built for this machine in build-windows/host, runs the
# end-to-end tests against quarnix.exe through build-windows/emulated/quarnix.
# Wine's server is started first (one left from an earlier run is stopped) and
# kept until the tests end, so that each program starts in a tenth of a second
# and none starts a server of its own; its services start away from ctest's
# pipes, which they would otherwise hold open. Wine's error channel stays on:
# where Wine fails to start a program, the status is 1 and its err: line is
# the only word of why (its fixme: notes are off). Wine runs with address-space
# randomisation off where the system allows it (cmake/toolchain-windows.cmake
# says why), wineboot here and the programs through the toolchain's emulator.
# Needs Debian's g++-mingw-w64-x86-64-posix and wine64.
WINE_ENV = WINEPREFIX=$(CURDIR)/build-windows/wine WINEDEBUG=fixme-all
WINE_FIXED = $(shell setarch x86_64 -R true 2>/dev/null && echo setarch x86_64 -R)

windows:
	@./scripts/deps.sh windows
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-windows.cmake -DCMAKE_BUILD_TYPE=Release -DQRN_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build build-windows -j $(JOBS)
	cmake -S . -B build-windows/host -DCMAKE_BUILD_TYPE=Release -DQRN_TESTS=ON -DQRN_TEST_PROGRAM=$(CURDIR)/build-windows/emulated/quarnix -DQRN_WINDOWS_TARGET=ON >/dev/null
	cmake --build build-windows/host -j $(JOBS) --target test_cli
	mkdir -p build-windows/wine
	$(WINE_ENV) wineserver -k </dev/null >/dev/null 2>&1 || true
	$(WINE_ENV) wineserver -p </dev/null >/dev/null 2>&1
	$(WINE_ENV) $(WINE_FIXED) wineboot </dev/null >/dev/null 2>&1
	status=0; \
	(cd build-windows && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)) || status=$$?; \
	[ $$status -ne 0 ] || (cd build-windows/host && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)) || status=$$?; \
	$(WINE_ENV) wineserver -k </dev/null >/dev/null 2>&1; \
	exit $$status

# Containers from the other builds are byte for byte the native build's, and
# each build restores the others' (after `make`, `make windows` and the cross
# builds).
identity:
	$(WINE_ENV) ./scripts/cross-identity.sh x86-64=$(BUILD)/quarnix windows=build-windows/emulated/quarnix \
		aarch64=build-aarch64/emulated/quarnix s390x=build-s390x/emulated/quarnix

# The program, libquarnix (shared and static), quarnix.h, quarnix.pc, the CMake
# package and the man page under PREFIX, staged under DESTDIR when it is set
# (make install PREFIX=/usr DESTDIR=pkgroot).
PREFIX ?= /usr/local

install: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target quarnix quarnix_shared quarnix_static
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# Benchmark: qrn-bench, the chart and the whole-program timings on the corpus
# that bench/corpus/make-corpus.sh builds (or the small one), built into
# corpus/ when missing and checked against bench/corpus/MANIFEST.{full,small};
# then bench/tree.sh on a copy of /usr/include and /usr/share/doc (a 40 MB
# sample of it for bench-quick). Results in $(BENCH_BUILD)/results/{full,quick}.
# bench/deps.sh installs what is missing (peers' -dev packages, gnuplot, time,
# zstd, xz, lz4). BENCH_ARGS passes options to qrn-bench (e.g. --runs 3);
# tree.sh reads TREE_* variables (see its head), e.g. TREE_ZSTD19=0.
BENCH_BUILD ?= build-bench
CORPUS_SCRIPTS ?= bench/corpus
BENCH_ARGS ?=

bench-deps:
	@./bench/deps.sh

bench-build: deps bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DQRN_BENCH=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target qrn-bench qrn-ans-bench quarnix

corpus/full/MANIFEST:
	@./bench/deps.sh corpus
	$(CORPUS_SCRIPTS)/make-corpus.sh corpus/full

# Cut from the full corpus when it is there, else built from scratch.
corpus/small/MANIFEST:
	@./bench/deps.sh corpus
	if [ -f corpus/full/MANIFEST ]; then \
		FULL_CORPUS=$(CURDIR)/corpus/full $(CORPUS_SCRIPTS)/make-corpus-small.sh corpus/small; \
	else \
		$(CORPUS_SCRIPTS)/make-corpus-small.sh corpus/small; \
	fi

bench: bench-build corpus/full/MANIFEST
	bench/run-bench.sh $(BENCH_BUILD) corpus/full $(BENCH_BUILD)/results/full $(BENCH_ARGS)
	bench/tree.sh $(BENCH_BUILD)/quarnix $(BENCH_BUILD)/results/full/tree

bench-quick: bench-build corpus/small/MANIFEST
	bench/run-bench.sh $(BENCH_BUILD) corpus/small $(BENCH_BUILD)/results/quick $(BENCH_ARGS)
	TREE_QUICK=1 bench/tree.sh $(BENCH_BUILD)/quarnix $(BENCH_BUILD)/results/quick/tree

clean:
	rm -rf build build-*

# libFuzzer targets (one per decoder, the container reader, round trips), built
# with clang under AddressSanitizer and UndefinedBehaviorSanitizer into
# build-fuzz/fuzz/. Run one with e.g.
#   build-fuzz/fuzz/m1_decompress_fuzz -max_total_time=600 CORPUS_DIR
fuzz:
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQRN_FUZZ=ON -DQRN_TESTS=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS)
