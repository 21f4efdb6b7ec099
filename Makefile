# One-command build and test. `make` installs what is missing and builds both
# targets; `make test` runs every test. EDK2_PATH=/path/to/edk2 uses another tree.
# SPDX-License-Identifier: BSD-2-Clause-Patent

REPO      := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
BUILD     := $(REPO)/build
# One lock per output folder, so a second make in the same tree waits instead of writing
# beside the first, while the firmware and the host tests may build at once.
LOCK      := flock $(BUILD)/.lock
HOST_LOCK := flock $(BUILD)/.lock-host
# BUILT=1: the images are built already (e2e-test's stick comes from the build it ran).
BUILD_DEP  = $(if $(BUILT),,build)
EDK2_DIR   = $(shell $(REPO)/tools/setup-deps.sh | tail -n 1)
# The arches `build` makes and `test` boots, each in its own firmware; ARCHS=X64 for X64
# alone. Images go to build/<ARCH>/<TARGET>/.
ARCHS     ?= IA32 X64 AARCH64
export ARCHS

.PHONY: all build format format-check sign usb-image host-test image-check sim-test e2e-test test demo mutation clean

# Secure Boot: SIGN_KEY and SIGN_CERT (PEM) name the key the images are signed with and its
# certificate, which the firmware's db must hold. `sign` writes what the stick carries,
# signed, to SIGNED, beside the unsigned images, and the certificate in DER form (db.cer).
SIGNED    ?= $(BUILD)/X64/RELEASE/signed
SIGNING   := $(if $(SIGN_KEY)$(SIGN_CERT),yes)
# Only the targets that sign need both; a stray SIGN_KEY in the environment stops nothing else.
ifneq ($(filter sign,$(MAKECMDGOALS))$(and $(SIGNING),$(filter usb-image,$(MAKECMDGOALS))),)
ifeq ($(and $(SIGN_KEY),$(SIGN_CERT)),)
$(error set SIGN_KEY=key.pem and SIGN_CERT=cert.pem (PEM; the certificate enrolled in db) to sign)
endif
endif
# The stick: signed images and the certificate when SIGN_KEY is given; USB_IMAGE=path elsewhere.
USB_IMAGE ?= $(BUILD)/nfckeyboard-usb$(if $(SIGNING),-signed).img
STICK_FROM = $(if $(SIGNING),$(SIGNED),$(BUILD)/X64/RELEASE)

all: build

build:
	@mkdir -p $(BUILD)
	$(LOCK) $(REPO)/tools/edk2-build.sh

# A GPT disk image with one EFI System partition: the setup tool as the removable-media
# boot program, the release drivers beside it, and a README. Write it to a USB stick.
# Signed, the stick also holds the certificate at its root, where the firmware's file
# browser starts, and outside \EFI\NfcKeyboard, which an uninstall deletes.
usb-image: $(if $(SIGNING),sign,$(BUILD_DEP))
	$(REPO)/tools/usb-image.sh $(USB_IMAGE) 8 \
	  EFI/BOOT/BOOTX64.EFI=$(STICK_FROM)/NfcKeyboardSetup.efi \
	  EFI/BOOT/OstrelDriver.efi=$(STICK_FROM)/OstrelDriver.efi \
	  EFI/BOOT/UsbUartDxe.efi=$(STICK_FROM)/UsbUartDxe.efi \
	  EFI/BOOT/ZorvikDxe.efi=$(STICK_FROM)/ZorvikDxe.efi \
	  $(if $(SIGNING),NfcKeyboard-db.cer=$(SIGNED)/db.cer) \
	  README.txt=$(REPO)/tools/usb-README.txt
	@ls -l $(USB_IMAGE)

# sbverify checks each signature against SIGN_CERT, so a key that is not the certificate's
# fails here and not at the firmware. A failed run leaves no SIGNED folder, so no stick is
# made from images signed with another key or only in part.
sign: build
	@rm -rf $(SIGNED) && mkdir -p $(SIGNED)
	@for n in NfcKeyboardSetup OstrelDriver UsbUartDxe ZorvikDxe; do \
	  sbsign --key "$(SIGN_KEY)" --cert "$(SIGN_CERT)" --output $(SIGNED)/$$n.efi $(BUILD)/X64/RELEASE/$$n.efi \
	    && sbverify --cert "$(SIGN_CERT)" $(SIGNED)/$$n.efi >/dev/null \
	    || { rm -rf $(SIGNED); echo "sign: $$n.efi not signed" >&2; exit 1; }; \
	done
	@openssl x509 -in "$(SIGN_CERT)" -outform DER -out $(SIGNED)/db.cer || { rm -rf $(SIGNED); exit 1; }
	@ls -l $(SIGNED)

# EDK II's Uncrustify configuration over the drivers, the apps and include/ (tools/format.sh
# says what Debian's uncrustify cannot take). `format` rewrites; `test` fails on any file
# `format` would change.
format:
	$(REPO)/tools/format.sh "$(EDK2_DIR)"

format-check:
	$(REPO)/tools/format.sh "$(EDK2_DIR)" --check

# Host tests: the driver sources for Linux under ASan and UBSan.
# The compiler's output goes to build/host-build.log, shown when the build fails. The lock
# is held to the end of the run, so the timed boots, which wait for it, run alone. Niced:
# beside the untimed boots it takes only what they leave, since a TCG guest starved of
# its core sees its clock run on without it and gives up on a waiting peer.
host-test:
	@mkdir -p $(BUILD)
	$(HOST_LOCK) nice -n 19 sh -c 'cmake -S $(REPO)/tests/host -B $(BUILD)/host -DEDK2_PATH="$(EDK2_DIR)" >/dev/null \
	  && { cmake --build $(BUILD)/host -j$$(nproc) > $(BUILD)/host-build.log 2>&1 \
	       || { cat $(BUILD)/host-build.log; exit 1; }; } \
	  && cd $(BUILD)/host && ctest --output-on-failure -j$$(nproc)'

# Release images carry no port I/O and no log text; x86 debug images carry both, and
# AArch64 ones, which have no COM1, neither.
image-check: $(BUILD_DEP)
	python3 $(REPO)/tests/image_check.py $(foreach a,$(ARCHS),$(BUILD)/$(a))

# End-to-end: OVMF under QEMU, QEMU's FT232 wired to the PN532 simulator (tools/pn532sim.py),
# and the other bridges as device models of tools/bridgesim.py on QEMU's usb-redir.
sim-test:
	python3 $(REPO)/tests/e2e/test_pn532sim.py
	python3 $(REPO)/tests/e2e/test_harness.py
	python3 $(REPO)/tests/e2e/test_bridgesim.py

# The scenarios boot the unsigned stick; signing variables given to `make test` sign nothing.
e2e-test: $(BUILD_DEP) sim-test
	$(MAKE) usb-image SIGN_KEY= SIGN_CERT= BUILT=1
	python3 $(REPO)/tests/e2e/run.py

# The firmware build keeps about one core busy (most of it is EDK II's single-threaded
# AutoGen), so the host tests build beside it, and the untimed boots start as soon as
# the images are there; the timed boots wait for the host tests to end (tests/e2e/run.py).
test: format-check
	$(MAKE) --no-print-directory -j3 host-test image-check e2e-test

demo: build
	python3 $(REPO)/tools/demo.py

# Plants each fault of tests/mutants.json in a scratch copy and runs the host suites
# against it; minutes long, so not part of `make test`.
mutation:
	python3 $(REPO)/tools/mutate.py

clean:
	rm -rf $(BUILD)
