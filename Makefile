# Thin front end over CMake. Each goal installs missing dependencies first
# (scripts/install-deps.sh is idempotent), configures once and builds.
BUILD       ?= build
JOBS        ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
DEMO_DIR    ?= $(BUILD)/demo
LIVE_ADDR   ?= 127.0.0.1:8080
VENV        ?= $(BUILD)/venv

ifneq ($(CI),)
  CMAKE_FLAGS += -DLE_WERROR=ON
endif

.PHONY: all deps build check check-arm64 demo live bench fuzz install python clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Cross build for aarch64, unit tests under qemu on five emulated processors.
check-arm64:
	@bash scripts/install-deps.sh --arm64
	JOBS=$(JOBS) bash scripts/check-arm64.sh $(BUILD)-arm64

# The demo identity (a drawn face with audio models, IMX container) speaking
# synthesised sentences through the live pipeline, idle before and after.
demo: build
	rm -rf $(DEMO_DIR) && mkdir -p $(DEMO_DIR) out
	PYTHONPATH=tests/fixtures /usr/bin/python3 -m lefix demo --out $(DEMO_DIR)/demo.imx
	PYTHONPATH=tests/fixtures /usr/bin/python3 -m lefix speech --out $(DEMO_DIR)/speech.wav
	$(BUILD)/tools/le-live $(DEMO_DIR)/demo.imx $(DEMO_DIR)/speech.wav -o out/demo.mp4 --fast \
	  --end-marks --lead 1.5 --tail 1.5 --sheet out/demo-sheet.png --sheet-frames 16 \
	  --report out/demo-report.txt
	$(BUILD)/tools/le-live $(DEMO_DIR)/demo.imx $(DEMO_DIR)/speech.wav -o out/demo-teeth.mp4 --fast \
	  --teeth --lead 1.5 --tail 1.5 --sheet out/demo-teeth-sheet.png --sheet-frames 16
	@echo "demo: out/demo.mp4, out/demo-sheet.png and out/demo-report.txt;" \
	  "with borrowed teeth: out/demo-teeth.mp4 and out/demo-teeth-sheet.png"

# The demo identity live in a browser: le-live --serve prints the page's
# address and serves it until Ctrl-C. LIVE_ADDR=0.0.0.0:8080 shows it to
# other machines.
live: build
	mkdir -p $(DEMO_DIR)
	test -f $(DEMO_DIR)/demo.imx || PYTHONPATH=tests/fixtures /usr/bin/python3 -m lefix demo --out $(DEMO_DIR)/demo.imx
	$(BUILD)/tools/le-live --serve $(LIVE_ADDR) $(DEMO_DIR)/demo.imx

# The Python package in a virtual environment that sees Debian's numpy, with
# the library and le-render inside the package: $(VENV)/bin/python -c 'import le_core'.
python: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target le_core le-render
	rm -rf $(BUILD)/python-pkg && mkdir -p $(BUILD)/python-pkg
	cp -r python/pyproject.toml python/le_core $(BUILD)/python-pkg/
	rm -rf $(BUILD)/python-pkg/le_core/__pycache__
	cp -L $(BUILD)/lible_core.so $(BUILD)/python-pkg/le_core/lible_core.so
	cp $(BUILD)/tools/le-render $(BUILD)/python-pkg/le_core/le-render
	/usr/bin/python3 -m venv --system-site-packages $(VENV)
	$(VENV)/bin/python -m pip install -q --no-index --no-build-isolation --no-deps --force-reinstall $(BUILD)/python-pkg
	cd / && env -u LE_CORE_LIBRARY $(abspath $(VENV))/bin/python -c \
	  "import le_core; print('python: le_core in $(VENV), library', le_core.library_path)"

bench:
	@bash scripts/install-deps.sh --bench
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLE_BUILD_BENCH=ON -DLE_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	cmake --build $(BUILD)-bench --target run-bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DLE_BUILD_FUZZ=ON -DLE_BUILD_TESTS=OFF -DLE_BUILD_TOOLS=OFF -DLE_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash scripts/run-fuzz.sh $(BUILD)-fuzz/fuzz

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-asan $(BUILD)-tsan $(BUILD)-arm64
