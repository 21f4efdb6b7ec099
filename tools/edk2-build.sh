#!/bin/bash
# Builds the package with EDK II's `build` (GCC5, DEBUG and RELEASE) for each arch of
# ARCHS (IA32, X64, AARCH64; X64 alone by default) in a workspace generated under
# build/, and copies every image to build/<ARCH>/<TARGET>/.
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

REPO="$(cd "$(dirname "$0")/.." && pwd)"
EDK2="$("$REPO/tools/setup-deps.sh" | tail -n 1)"
WS="$REPO/build/workspace"
TARGETS="${TARGETS:-DEBUG RELEASE}"
ARCHS="${ARCHS:-X64}"

mkdir -p "$WS"
# The package is reached through a link, so the clone may live in any folder.
ln -sfn "$REPO" "$WS/NfcKeyboardPkg"

export WORKSPACE="$WS"
export PACKAGES_PATH="$WS:$EDK2"
export EDK_TOOLS_PATH="$EDK2/BaseTools"
export CONF_PATH="$WS/Conf"
mkdir -p "$CONF_PATH"
export PYTHON_COMMAND="${PYTHON_COMMAND:-python3}"

set +u
# edksetup.sh copies the Conf templates on first use and puts the tools on PATH.
( cd "$EDK2" && . ./edksetup.sh BaseTools >/dev/null ) || true
. "$EDK2/edksetup.sh" BaseTools >/dev/null
set -u

args=()
for a in $ARCHS; do
  case "$a" in
    IA32|X64) ;;
    AARCH64)
      # Debian's cross compiler; IA32 needs none, the host gcc builds it with -m32.
      export GCC5_AARCH64_PREFIX="${GCC5_AARCH64_PREFIX:-aarch64-linux-gnu-}"
      # The AArch64 LTO link takes -llto-aarch64 from $(WORKSPACE)/ArmPkg/Library/GccLto;
      # EDK II ships only its source, which Debian's firmware build assembles the same way.
      lto="$WS/ArmPkg/Library/GccLto"
      mkdir -p "$lto"
      "${GCC5_AARCH64_PREFIX}gcc" -c -fpic "$EDK2/ArmPkg/Library/GccLto/liblto-aarch64.s" \
        -o "$lto/liblto-aarch64.a"
      ;;
    *) echo "edk2-build: unsupported arch $a (IA32, X64, AARCH64)" >&2; exit 1 ;;
  esac
  args+=(-a "$a")
done
# One `build` per target, side by side: most of a build is its single-threaded AutoGen,
# so two of them keep two cores busy where one keeps one. Each writes only its own
# Build/<TARGET>_GCC5 folder and reads its own copy of Conf.
pids=()
# Background jobs of a script start with SIGINT ignored: on ^C, a kill or a failed step
# here, stop them rather than leave them writing Build/ and holding the caller's lock.
trap 'kill "${pids[@]}" 2>/dev/null; wait' INT TERM EXIT
for t in $TARGETS; do
  conf="$WS/Conf-$t"
  mkdir -p "$conf"
  cp -f "$CONF_PATH"/*.txt "$conf/"
  CONF_PATH="$conf" build -t GCC5 -p NfcKeyboardPkg/NfcKeyboardPkg.dsc "${args[@]}" -b "$t" \
    -n "$(nproc)" -s ${EDK2_BUILD_ARGS:-} > "$WS/build-$t.log" 2>&1 &
  pids+=($!)
done
failed=0
i=0
for t in $TARGETS; do
  if ! wait "${pids[$i]}"; then
    failed=1
  fi
  cat "$WS/build-$t.log"
  i=$((i + 1))
done
trap - INT TERM EXIT
[ "$failed" -eq 0 ] || { echo "edk2-build: build failed" >&2; exit 1; }

for a in $ARCHS; do
  for t in $TARGETS; do
    out="$REPO/build/$a/$t"
    mkdir -p "$out"
    for efi in "$WS/Build/NfcKeyboardPkg/${t}_GCC5/$a"/*.efi; do
      [ -e "$efi" ] || continue
      cp -f "$efi" "$out/"
    done
  done
done
