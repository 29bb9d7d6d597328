# zel: the two commands a user needs.
#   make run   build (release) and start the agent in the foreground
#   make test  build and run the whole test suite
BUILD_DIR ?= build/release
NPROC := $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test deps build clean

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(NPROC)

run: build
	@bash scripts/run-local.sh $(BUILD_DIR)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(NPROC)

clean:
	rm -rf build
