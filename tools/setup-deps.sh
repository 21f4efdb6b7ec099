#!/bin/bash
# Installs the Debian packages the build and the tests need and prepares the
# cached EDK II tree (source of Debian's edk2 package, BaseTools built once).
# Prints the EDK II path on its last line of stdout.
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

PACKAGES=(build-essential uuid-dev nasm acpica-tools python3 python-is-python3
          cmake googletest libgtest-dev ovmf qemu-system-x86 dpkg-dev
          binutils util-linux mtools gdisk sbsigntool openssl uncrustify)
# Arches beyond X64 (ARCHS, as tools/edk2-build.sh reads it): IA32 builds with the
# host gcc's -m32 and boots in Debian's 32-bit OVMF; AARCH64 needs Debian's cross gcc
# and g++, and boots in AAVMF under QEMU's Arm system emulator.
case " ${ARCHS:-X64} " in
  *" IA32 "*) PACKAGES+=(ovmf-ia32) ;;
esac
case " ${ARCHS:-X64} " in
  *" AARCH64 "*) PACKAGES+=(gcc-aarch64-linux-gnu g++-aarch64-linux-gnu qemu-efi-aarch64 qemu-system-arm) ;;
esac

log () { echo "setup: $*" >&2; }

# Make may run this twice at once (the firmware and the host tests build side by side):
# the second waits for the first's installs and unpacking, then finds them done.
# The cache folder holds the lock, or the temporary folder when EDK2_PATH names the tree
# and no cache is needed.
if [ -n "${EDK2_PATH:-}" ]; then LOCK_DIR="${TMPDIR:-/tmp}"; else LOCK_DIR="${XDG_CACHE_HOME:-$HOME/.cache}/nfckeyboard"; fi
mkdir -p "$LOCK_DIR"
exec 9>"$LOCK_DIR/.setup-lock"
flock 9

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

as_root () {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else
    log "not root; run as root: $*"; exit 1
  fi
}

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    log "missing packages; run as root:"
    echo "apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

if [ -n "${EDK2_PATH:-}" ]; then
  EDK2="$EDK2_PATH"
else
  CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/nfckeyboard"
  mkdir -p "$CACHE"
  # The same release as the installed firmware, so the headers match what we boot.
  VERSION="$(dpkg-query -W -f='${source:Upstream-Version}' ovmf 2>/dev/null || true)"
  [ -n "$VERSION" ] || VERSION="$(dpkg-query -W -f='${Version}' ovmf | sed 's/^[0-9]*://; s/-[^-]*$//')"
  EDK2="$CACHE/edk2-$VERSION"
  if [ ! -f "$EDK2/.unpacked" ]; then
    # apt-get source needs deb-src entries; mirror the machine's own deb entries.
    if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/ ; then
      [ "$(id -u)" -eq 0 ] || { log "no deb-src entries; as root, add deb-src copies of your Debian entries"; exit 1; }
      SRC=/etc/apt/sources.list.d/nfckeyboard-src.sources
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$SRC"
      fi
      if [ -f /etc/apt/sources.list ]; then
        grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/nfckeyboard-src.list || true
      fi
      DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
    fi
    OVMF_VERSION="$(dpkg-query -W -f='${Version}' ovmf)"
    TMP="$(mktemp -d "$CACHE/fetch.XXXXXX")"
    log "fetching edk2 source $OVMF_VERSION"
    ( cd "$TMP" && apt-get source -q --download-only "edk2=$OVMF_VERSION" >&2 \
        && dpkg-source -x --no-check ./edk2_*.dsc src >&2 ) \
      || ( cd "$TMP" && rm -rf src && apt-get source -q --download-only edk2 >&2 \
        && dpkg-source -x --no-check ./edk2_*.dsc src >&2 )
    rm -rf "$EDK2"
    mv "$TMP/src" "$EDK2"
    rm -rf "$TMP"
    touch "$EDK2/.unpacked"
  fi
fi

if [ ! -f "$EDK2/BaseTools/Source/C/bin/GenFw" ] && [ ! -f "$EDK2/.basetools-built" ]; then
  log "building BaseTools in $EDK2"
  make -C "$EDK2/BaseTools/Source/C" -j"$(nproc)" >&2
  touch "$EDK2/.basetools-built"
fi

echo "$EDK2"
