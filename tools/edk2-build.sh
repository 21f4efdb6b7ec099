#!/bin/bash
# Builds the package with EDK II's `build` (GCC5, X64, DEBUG and RELEASE) in a
# workspace generated under build/, and copies every image to build/X64/<TARGET>/.
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

REPO="$(cd "$(dirname "$0")/.." && pwd)"
EDK2="$("$REPO/tools/setup-deps.sh" | tail -n 1)"
WS="$REPO/build/workspace"
TARGETS="${TARGETS:-DEBUG RELEASE}"

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
for t in $TARGETS; do args+=(-b "$t"); done

build -a X64 -t GCC5 -p NfcKeyboardPkg/NfcKeyboardPkg.dsc "${args[@]}" \
      -n "$(nproc)" -s ${EDK2_BUILD_ARGS:-}

for t in $TARGETS; do
  out="$REPO/build/X64/$t"
  mkdir -p "$out"
  for efi in "$WS/Build/NfcKeyboardPkg/${t}_GCC5/X64"/*.efi; do
    [ -e "$efi" ] || continue
    cp -f "$efi" "$out/"
  done
done
