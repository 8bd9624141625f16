#!/bin/sh
# Generates a file of several MiB, takes its digest with sha256sum and runs the given test
# command with the file and the digest in TAMSEL_SHA256_FILE / TAMSEL_SHA256_EXPECTED.
#   sha256_file_check.sh native|wine COMMAND...
# For "wine" the file is passed as a Windows path on Wine's Z: drive (the Unix root).
set -eu
kind=$1
shift
dir=$(mktemp -d "${TMPDIR:-/tmp}/tamsel-sha256.XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
file="$dir/generated.bin"
# 6 MiB + 3 bytes of numbered lines: no repeating block structure, last block partial.
seq 1 2000000 | head -c 6291459 > "$file"
expected=$(sha256sum "$file" | cut -d' ' -f1)
if [ "$kind" = wine ]; then
  TAMSEL_SHA256_FILE="Z:$(printf '%s' "$file" | tr '/' '\\')"
else
  TAMSEL_SHA256_FILE=$file
fi
TAMSEL_SHA256_EXPECTED=$expected
export TAMSEL_SHA256_FILE TAMSEL_SHA256_EXPECTED
# Wine passes environment variables on to the Windows program.
exec "$@"
