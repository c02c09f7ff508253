# make run   : install what is missing, build, start VeltoVoice
# make test  : install what is missing, build, run every test
# make bench : build and run the benchmarks
# SANITIZE=1 : AddressSanitizer + UndefinedBehaviorSanitizer build, in its own folder

JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
CMAKE_FLAGS += -DVELTO_SANITIZE=ON
else
BUILD_DIR ?= build
endif

.PHONY: deps configure build run test bench clean

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/app/veltovoice

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 600 -j $(JOBS)

bench: build
	cmake --build $(BUILD_DIR) --target run_benchmarks

clean:
	rm -rf build build-asan
