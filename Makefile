# The commands a newcomer and CI use; the build itself is CMake's.
BUILD ?= build
FIRMWARE_IMAGE ?=
JOBS ?= 2

.PHONY: all packages configure build test efi usb-image demo clean

all: build

packages:
	@sh tools/install-packages.sh

configure: packages
	@cmake -S . -B $(BUILD) -DFIRMWARE_IMAGE="$(FIRMWARE_IMAGE)" >/dev/null

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

efi: configure
	cmake --build $(BUILD) -j$(JOBS) --target efi

clean:
	rm -rf $(BUILD)

usb-image:
	@if [ -z "$(FIRMWARE_IMAGE)" ]; then \
	  echo "make usb-image needs the vendor image: make usb-image FIRMWARE_IMAGE=path/to/image.bin" >&2; \
	  exit 1; \
	fi
	$(MAKE) efi FIRMWARE_IMAGE="$(FIRMWARE_IMAGE)"
	sh tools/make-usb-image.sh $(BUILD)/pellory-usb.img $(BUILD)/efi/pellory.efi

demo: configure
	@cmake --build $(BUILD) -j$(JOBS) --target pellory-testimage convsim >/dev/null
	@python3 tools/demo.py --efi-dir $(BUILD)/efi
