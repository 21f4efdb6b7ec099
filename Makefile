# One-command build and test. `make` installs what is missing and builds both
# targets; `make test` runs every test. EDK2_PATH=/path/to/edk2 uses another tree.
# SPDX-License-Identifier: BSD-2-Clause-Patent

REPO      := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
BUILD     := $(REPO)/build
LOCK      := flock $(BUILD)/.lock
EDK2_DIR   = $(shell $(REPO)/tools/setup-deps.sh | tail -n 1)
# The arches `build` makes and `test` boots, each in its own firmware; ARCHS=X64 for X64
# alone. Images go to build/<ARCH>/<TARGET>/.
ARCHS     ?= IA32 X64 AARCH64
export ARCHS

.PHONY: all build usb-image host-test image-check sim-test e2e-test test demo mutation clean

all: build

build:
	@mkdir -p $(BUILD)
	$(LOCK) $(REPO)/tools/edk2-build.sh

# A GPT disk image with one EFI System partition: the setup tool as the removable-media
# boot program, the release drivers beside it, and a README. Write it to a USB stick.
usb-image: build
	$(REPO)/tools/usb-image.sh $(BUILD)/nfckeyboard-usb.img 8 \
	  EFI/BOOT/BOOTX64.EFI=$(BUILD)/X64/RELEASE/NfcKeyboardSetup.efi \
	  EFI/BOOT/OstrelDriver.efi=$(BUILD)/X64/RELEASE/OstrelDriver.efi \
	  EFI/BOOT/ZorvikDxe.efi=$(BUILD)/X64/RELEASE/ZorvikDxe.efi \
	  README.txt=$(REPO)/tools/usb-README.txt
	@ls -l $(BUILD)/nfckeyboard-usb.img

# Host tests: the driver sources for Linux under ASan and UBSan.
host-test:
	@mkdir -p $(BUILD)
	$(LOCK) sh -c 'cmake -S $(REPO)/tests/host -B $(BUILD)/host -DEDK2_PATH="$(EDK2_DIR)" >/dev/null && cmake --build $(BUILD)/host -j$$(nproc)'
	cd $(BUILD)/host && ctest --output-on-failure -j$$(nproc)

# Release images carry no port I/O and no log text; x86 debug images carry both, and
# AArch64 ones, which have no COM1, neither.
image-check: build
	python3 $(REPO)/tests/image_check.py $(foreach a,$(ARCHS),$(BUILD)/$(a))

# End-to-end: OVMF under QEMU, QEMU's FT232 wired to the PN532 simulator (tools/pn532sim.py).
sim-test:
	python3 $(REPO)/tests/e2e/test_pn532sim.py
	python3 $(REPO)/tests/e2e/test_harness.py

e2e-test: build usb-image sim-test
	python3 $(REPO)/tests/e2e/run.py

test: build host-test image-check e2e-test

demo: build
	python3 $(REPO)/tools/demo.py

# Plants each fault of tests/mutants.json in a scratch copy and runs the host suites
# against it; minutes long, so not part of `make test`.
mutation:
	python3 $(REPO)/tools/mutate.py

clean:
	rm -rf $(BUILD)
