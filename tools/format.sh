#!/bin/bash
# Formats the drivers, the apps and include/ with EDK II's Uncrustify configuration.
#   format.sh EDK2_DIR          rewrites every file that is not formatted
#   format.sh EDK2_DIR --check  rewrites nothing; names each such file and fails
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

EDK2="$1"
MODE="${2:-}"
REPO="$(cd "$(dirname "$0")/.." && pwd)"
CFG="$REPO/build/uncrustify.cfg"

# EDK II's configuration, as its tree holds it, with what Debian's uncrustify cannot take:
# - indent_func_call_edk2_style, align_edk2_style and cmt_align_doxygen_javadoc_tags exist
#   only in EDK II's own uncrustify build; without the first, a call's arguments align
#   under its open parenthesis.
# - newlines: EDK II's sources keep CRLF; this tree keeps LF, as git and the host tools
#   read it.
mkdir -p "$REPO/build"
SOURCE_CFG="$EDK2/.pytool/Plugin/UncrustifyCheck/uncrustify.cfg"
grep -vE '^(indent_func_call_edk2_style|align_edk2_style|cmt_align_doxygen_javadoc_tags)[[:space:]]*=' \
  "$SOURCE_CFG" \
  | sed -E 's/^newlines([[:space:]]*)=[[:space:]]*crlf/newlines\1= lf/' > "$CFG.tmp"
mv "$CFG.tmp" "$CFG"

# Another uncrustify release, or another EDK II release's configuration, lays some
# constructs out differently, so only the pair this tree was formatted with judges it;
# with any other the check is skipped, and says so.
RELEASE="0.72."
CFG_SHA256="d28c069ec040fe110015c2c0730c26f4fe4997e827c827ecbc0b32f1232f8401"
if ! uncrustify --version | grep -q "^Uncrustify-$RELEASE"; then
  echo "format: SKIPPED: $(uncrustify --version) is not uncrustify $RELEASE*, which formatted this tree" >&2
  exit 0
fi
if [ "$(sha256sum < "$SOURCE_CFG" | cut -d' ' -f1)" != "$CFG_SHA256" ]; then
  echo "format: SKIPPED: $SOURCE_CFG is not the configuration this tree was formatted with" >&2
  exit 0
fi

cd "$REPO"
mapfile -t FILES < <(git ls-files -- serial keyboard debuglog apps include | grep -E '\.(cpp|h)$')
# git ls-files failing inside the substitution does not stop the script: no file is a fault.
[ "${#FILES[@]}" -gt 0 ] || { echo "format: no sources found (not a git checkout?)" >&2; exit 1; }

if [ "$MODE" = "--check" ]; then
  bad=0
  for f in "${FILES[@]}"; do
    if ! uncrustify -q -c "$CFG" -f "$f" | cmp -s - "$f"; then
      echo "format: $f is not formatted; run make format. The first change it would make:" >&2
      uncrustify -q -c "$CFG" -f "$f" | diff -u "$f" - | grep -E '^[-+]([^-+]|$)' | head -4 >&2 || true
      bad=1
    fi
  done
  exit $bad
fi

# A second pass settles what the first one's alignment moved.
for pass in 1 2; do
  uncrustify -q -c "$CFG" --no-backup "${FILES[@]}"
done
