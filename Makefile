# Two commands do all set-up on a fresh machine:
#   make run   install dependencies, build, start Lumora
#   make test  install dependencies, build, run every test
# and one more makes the Debian package:
#   make package  build/lumora_<version>_<arch>.deb
BUILD_DIR ?= build
CMAKE_FLAGS ?=
JOBS ?= 2
# Without a display the program runs offscreen; `make run` then starts the
# stream at once so there is something to watch.
RUN_ARGS ?= $(if $(DISPLAY)$(WAYLAND_DISPLAY),,--start)

.PHONY: all deps configure build run test package bench sanitize tsan clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j$(JOBS)

# The program runs in the build folder, so the sample template and its
# settings land there and the checkout stays clean.
run: deps build
	cd $(BUILD_DIR) && ./lumora $(RUN_ARGS) $(ARGS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS)

package: deps build
	cmake --build $(BUILD_DIR) --target package

bench: deps build
	scripts/run-benchmarks.sh $(BUILD_DIR)

sanitize:
	$(MAKE) test BUILD_DIR=build-asan CMAKE_FLAGS="-DLUMORA_SANITIZE=ON -DLUMORA_BENCH=OFF"

# ThreadSanitizer on the test programs that start threads of their own.
TSAN_TESTS = test_wmf_network_sink test_live_browser test_live_relay test_media_asfwriter \
	test_wmf_asf test_camera test_never_stuck
tsan: deps
	cmake -S . -B build-tsan -DLUMORA_TSAN=ON -DLUMORA_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TESTS) lumora fakecam
	cd build-tsan && ctest --output-on-failure -j$(JOBS) -R '^($(subst $(eval) ,|,$(strip $(TSAN_TESTS))))$$'

clean:
	rm -rf $(BUILD_DIR)
