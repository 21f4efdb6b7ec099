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
grep -vE '^(indent_func_call_edk2_style|align_edk2_style|cmt_align_doxygen_javadoc_tags)[[:space:]]*=' \
  "$EDK2/.pytool/Plugin/UncrustifyCheck/uncrustify.cfg" \
  | sed -E 's/^newlines([[:space:]]*)=[[:space:]]*crlf/newlines\1= lf/' > "$CFG.tmp"
mv "$CFG.tmp" "$CFG"

# Another uncrustify release lays some constructs out differently, so only the release this
# tree was formatted with can judge it.
RELEASE="0.72."
if ! uncrustify --version | grep -q "^Uncrustify-$RELEASE"; then
  echo "format: $(uncrustify --version) is not uncrustify $RELEASE*, which formatted this tree; not run" >&2
  exit 0
fi

cd "$REPO"
mapfile -t FILES < <(git ls-files -- serial keyboard debuglog apps include | grep -E '\.(cpp|h)$')

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
