# Front door: `make` builds the program, `make demo` runs it on a built-in
# example, `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps demo test test-sanitize clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target quarnix

demo: all
	./scripts/demo.sh $(BUILD)/quarnix

deps:
	@./scripts/deps.sh

test: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DQRN_TESTS=ON $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit and end-to-end tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize:
	$(MAKE) test BUILD=build-sanitize CMAKE_FLAGS="-DQRN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

clean:
	rm -rf build build-*
