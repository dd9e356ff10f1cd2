# The commands a newcomer and CI use; the build itself is CMake's.
BUILD ?= build
FIRMWARE_IMAGE ?=
FIRMWARE_VERSION ?= 07_23
CONVERTER_OUI ?=
SBAT_GENERATION ?= 1
SIGNING_KEY ?=
SIGNING_CERT ?=
JOBS ?= 2
RUNS ?= 10000
SEED ?= 1
SECONDS ?= 60
BENCH_BOOTS ?= 1

.PHONY: all packages configure build test efi usb-image demo clean soak fuzz bench deb

all: build

# Each target installs the packages it needs, and no more
# (tools/install-packages.sh knows which); signing adds its tools.
PACKAGE_TARGETS = demo build test deb efi usb-image soak fuzz bench

packages:
	@sh tools/install-packages.sh $(or $(filter $(PACKAGE_TARGETS),$(MAKECMDGOALS)),build) \
	  $(if $(SIGNING_KEY),signing)

configure: packages
	@cmake -S . -B $(BUILD) -DFIRMWARE_IMAGE="$(FIRMWARE_IMAGE)" \
	  -DFIRMWARE_VERSION="$(FIRMWARE_VERSION)" -DCONVERTER_OUI="$(CONVERTER_OUI)" \
	  -DSBAT_GENERATION="$(SBAT_GENERATION)" \
	  -DSIGNING_KEY="$(SIGNING_KEY)" -DSIGNING_CERT="$(SIGNING_CERT)" >/dev/null

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# pelloryctl as a Debian package: $(BUILD)/pelloryctl_VERSION_amd64.deb.
deb: configure
	cmake --build $(BUILD) -j$(JOBS) --target pelloryctl pelloryctl-doc pellory-identify
	cd $(BUILD) && cpack --config CPackConfig.cmake

efi: configure
	cmake --build $(BUILD) -j$(JOBS) --target efi

# The fault campaign: RUNS whole runs drawn from SEED, under the sanitizers,
# then RUNS boots of the resident identification driver.
soak: configure
	cmake --build $(BUILD) -j$(JOBS) --target soak
	$(BUILD)/tests/soak/soak --runs $(RUNS) --seed $(SEED) --jobs $(JOBS)
	$(BUILD)/tests/soak/soak --resident --runs $(RUNS) --seed $(SEED) --jobs $(JOBS)

# The same runs driven by libFuzzer for SECONDS, in a clang build of its own.
fuzz: packages
	sh tests/soak/fuzz.sh $(CURDIR) $(BUILD)/fuzz $(SECONDS)

# Figures of a whole update: host, image size, real firmware against the
# floor application (BENCH_BOOTS boots of each). A table, no pass/fail.
bench: configure
	@cmake --build $(BUILD) -j$(JOBS) --target bench_host pellory-testimage pellory-floor pellory-identify convsim convsim-dump \
	  >$(BUILD)/bench-build.log 2>&1 || { cat $(BUILD)/bench-build.log; exit 1; }
	@PYTHONPATH=tools python3 bench/bench.py --build $(BUILD) --boots $(BENCH_BOOTS)

clean:
	rm -rf $(BUILD)

usb-image:
	@if [ -z "$(FIRMWARE_IMAGE)" ]; then \
	  echo "make usb-image needs the vendor image: make usb-image FIRMWARE_IMAGE=path/to/image.bin" >&2; \
	  exit 1; \
	fi
	$(MAKE) efi FIRMWARE_IMAGE="$(FIRMWARE_IMAGE)" FIRMWARE_VERSION="$(FIRMWARE_VERSION)" \
	  CONVERTER_OUI="$(CONVERTER_OUI)" SBAT_GENERATION="$(SBAT_GENERATION)" \
	  SIGNING_KEY="$(SIGNING_KEY)" SIGNING_CERT="$(SIGNING_CERT)"
	PYTHONPATH=tools python3 -m pellory_machine.stick $(BUILD)/pellory-usb.img $(BUILD)/efi/pellory.efi

demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target pellory-testimage convsim >/dev/null
	@python3 tools/demo.py --efi-dir $(BUILD)/efi
