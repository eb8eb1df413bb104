# Entry points. `make demo` runs the main job against the simulators, `make test`
# builds and runs every test suite. Both install what they need first.
JOBS   ?= 2
BUILD  ?= build
CMAKE  ?= cmake
CTEST  ?= ctest --output-on-failure -j$(JOBS) --timeout 300

.PHONY: all deps build release asan tsan fuzz test test-release test-asan test-tsan test-fuzz \
        fuzz-long demo bench format clean

all: build

deps:
	@bash scripts/install-deps

$(BUILD)/release/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
$(BUILD)/asan/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DUPDATER_SANITIZE=address,undefined
$(BUILD)/tsan/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_SANITIZE=thread
$(BUILD)/fuzz/CMakeCache.txt:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF -DUPDATER_BENCH=OFF

release: deps $(BUILD)/release/CMakeCache.txt
	$(CMAKE) --build $(BUILD)/release -j$(JOBS)
build: release

asan: deps $(BUILD)/asan/CMakeCache.txt
	$(CMAKE) --build $(BUILD)/asan -j$(JOBS)

tsan: deps $(BUILD)/tsan/CMakeCache.txt
	$(CMAKE) --build $(BUILD)/tsan -j$(JOBS)

fuzz: deps $(BUILD)/fuzz/CMakeCache.txt
	$(CMAKE) --build $(BUILD)/fuzz -j$(JOBS) --target fuzzers

test-release: release
	cd $(BUILD)/release && $(CTEST)
test-asan: asan
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)
# Only the tests labelled concurrent run under ThreadSanitizer.
test-tsan: tsan
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(CTEST) -L concurrent
test-fuzz: fuzz
	cd $(BUILD)/fuzz && $(CTEST) -L fuzz

test: test-release test-asan test-tsan test-fuzz

# Each fuzz target for ten minutes.
fuzz-long: fuzz
	@for f in $$(cd $(BUILD)/fuzz && ctest -N -L fuzz | sed -n 's/.*Test *#[0-9]*: *//p'); do \
	    echo "== $$f"; find $(BUILD)/fuzz -type f -name $$f -perm -u+x -exec {} -max_total_time=600 \; ; done

demo: release
	@bash scripts/demo $(BUILD)/release

bench: release
	@bash scripts/bench $(BUILD)/release

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
