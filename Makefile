# The commands a newcomer types; see README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)
MAKEFLAGS  += --no-print-directory

.PHONY: all build program deps test test-asan run offline bench lint clean

all: build

# A build configured before BLAST+ was installed is configured again, so that it builds the
# local service's database.
deps:
	@scripts/install-deps
	@if grep -qs '^QBLAST_MAKEBLASTDB:FILEPATH=.*NOTFOUND' $(BUILD)/CMakeCache.txt; then $(CONFIGURE) -B $(BUILD); fi

# Configures once; later builds re-run CMake by themselves when its files change. Only the
# configure step's notices (one line each, e.g. that BLAST+ is missing), warnings and errors
# are shown.
CONFIGURE = cmake --log-level=NOTICE -S .
$(BUILD)/CMakeCache.txt:
	$(CONFIGURE) -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS)

# Just what an offline run needs: the program, the toolkit beside it, the local service's
# database. The live run needs no database.
program: $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target qblast-check toolkit service_db

# Every suite, then the unit and process-level suites again on a sanitizer build
# (reference-counting faults show up there).
test: deps build
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)
	@$(MAKE) test-asan

test-asan:
	$(CONFIGURE) -B $(ASAN_BUILD) -DQBLAST_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS) -L 'unit|process'

# The check against the live NCBI service.
run: $(BUILD)/CMakeCache.txt
	@cmake --build $(BUILD) -j $(JOBS) --target qblast-check toolkit
	@$(BUILD)/qblast-check

# The whole check against the local BLAST service on loopback.
offline: deps program
	@scripts/offline $(BUILD)

bench: build
	@bench/run $(BUILD)

# Every lint, each failing on any finding: clang-tidy and clang-format on the C++, pyflakes on the
# Python 3 code, compiling the Python 2.7 code. LINT_KINDS=python3 (or cpp-tidy, cpp-format,
# python2) runs only some of them (make's own LINT is taken); a kind not among these fails,
# naming them, before any runs. Configuring is enough: clang-tidy reads the compile commands.
lint: $(BUILD)/CMakeCache.txt
	@scripts/lint $(BUILD) $(LINT_KINDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
