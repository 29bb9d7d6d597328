# zel: the two commands a user needs.
#   make run   build (release) the agent and zelq, and start the agent in the foreground
#   make test  build everything (agent, zelq, tests, benchmarks) and run the whole test suite
#   make package  build the Debian package (build/package/zel_VERSION_ARCH.deb)
BUILD_DIR ?= build/release
NPROC := $(shell nproc 2>/dev/null || echo 2)
CONFIGURE = cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release

.PHONY: run test deps build clean package

deps:
	@bash scripts/install-deps.sh

build: deps
	@$(CONFIGURE) -DZEL_BUILD_TESTS=ON -DZEL_BUILD_BENCH=ON >/dev/null
	@cmake --build $(BUILD_DIR) -j $(NPROC)

# Builds only the two programs it runs. A first configuration leaves the
# tests and benchmarks out, so GoogleTest and Google Benchmark are not
# needed; a build folder configured before keeps its settings.
run:
	@bash scripts/install-deps.sh --programs
	@if [ -f $(BUILD_DIR)/CMakeCache.txt ]; then $(CONFIGURE) >/dev/null; \
	 else $(CONFIGURE) -DZEL_BUILD_TESTS=OFF -DZEL_BUILD_BENCH=OFF >/dev/null; fi
	@cmake --build $(BUILD_DIR) -j $(NPROC) --target zel zelq
	@bash scripts/run-local.sh $(BUILD_DIR)

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(NPROC)

clean:
	rm -rf build

package:
	@bash scripts/install-deps.sh --package
	@bash scripts/build-package.sh
