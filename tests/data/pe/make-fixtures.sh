#!/bin/sh
# Builds the PE fixtures of the version-resource tests with windres, as and ld
# from Debian's mingw-w64 binutils (binutils-mingw-w64-i686 and
# binutils-mingw-w64-x86-64); no C compiler is needed.
#
#   make-fixtures.sh                      every NAME.rc here -> NAME-32.exe and NAME-64.exe,
#                                         plus not-pe.txt and the truncated files
#   make-fixtures.sh --product VERSION OUT.exe [32|64]
#                                         one executable whose ProductVersion is VERSION
#
# The output is reproducible: no time stamp is written and symbols are stripped.
set -eu

here=$(cd "$(dirname "$0")" && pwd)

# Temporary files and folders, removed however the script ends; any failing
# command ends it (set -e), so build steps are never run inside a || list.
cleanup=""
trap 'rm -rf $cleanup' EXIT

need() {
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "make-fixtures: $tool is missing; install binutils-mingw-w64-i686 and binutils-mingw-w64-x86-64" >&2
      exit 2
    fi
  done
}

# build_exe BITS RC OUT: compiles RC with a one-instruction entry point into OUT.
build_exe() {
  case "$1" in
    32) prefix=i686-w64-mingw32 ;;
    64) prefix=x86_64-w64-mingw32 ;;
    *) echo "make-fixtures: bits must be 32 or 64, not '$1'" >&2; exit 2 ;;
  esac
  need "$prefix-as" "$prefix-ld" "$prefix-windres"
  work=$(mktemp -d)
  cleanup="$cleanup $work"
  printf '.globl start\n.text\nstart:\n  ret\n' >"$work/start.s"
  "$prefix-as" -o "$work/start.o" "$work/start.s"
  # The .rc files use no preprocessor directives, only whole-line // comments,
  # so sed and "cat" stand in for the C preprocessor that windres would
  # otherwise look for. Text is UTF-8.
  sed -e '/^[[:space:]]*\/\//d' "$2" >"$work/res.rc"
  "$prefix-windres" --preprocessor=cat -c 65001 -i "$work/res.rc" -o "$work/res.o"
  "$prefix-ld" --no-insert-timestamp -s -e start -o "$work/out.exe" "$work/start.o" "$work/res.o"
  mv "$work/out.exe" "$3"
}

# rc_string TEXT: TEXT as the body of an .rc string literal.
rc_string() {
  printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/""/g'
}

# numeric_version TEXT: up to four leading numbers of TEXT as "a,b,c,d" for FILEVERSION.
numeric_version() {
  printf '%s\n' "$1" | head -n 1 | awk -F. '{
    out = ""
    for (i = 1; i <= 4; i++) {
      n = (i <= NF && $i ~ /^[0-9]+/) ? substr($i, 1, 5) + 0 : 0
      if (n > 65535) n = 65535
      out = out (i > 1 ? "," : "") n
    }
    print out
  }'
}

if [ "${1:-}" = "--product" ]; then
  if [ $# -lt 3 ] || [ $# -gt 4 ]; then
    echo "usage: make-fixtures.sh --product VERSION OUT.exe [32|64]" >&2
    exit 2
  fi
  version=$2
  case "$version" in
    *'
'*) echo "make-fixtures: the version must be a single line" >&2; exit 2 ;;
  esac
  out=$3
  bits=${4:-32}
  rc=$(mktemp)
  cleanup="$cleanup $rc"
  numbers=$(numeric_version "$version")
  text=$(rc_string "$version")
  cat >"$rc" <<RC
1 VERSIONINFO
FILEVERSION $numbers
PRODUCTVERSION $numbers
FILEOS 0x40004
FILETYPE 0x1
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904b0"
    BEGIN
      VALUE "CompanyName", "Quorvane"
      VALUE "FileDescription", "Quorvane"
      VALUE "FileVersion", "$text"
      VALUE "OriginalFilename", "Quorvane.exe"
      VALUE "ProductName", "Quorvane"
      VALUE "ProductVersion", "$text"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
RC
  build_exe "$bits" "$rc" "$out"
  exit 0
fi

if [ $# -ne 0 ]; then
  echo "usage: make-fixtures.sh [--product VERSION OUT.exe [32|64]]" >&2
  exit 2
fi

cd "$here"
for rc in *.rc; do
  name=${rc%.rc}
  build_exe 32 "$rc" "$name-32.exe"
  build_exe 64 "$rc" "$name-64.exe"
done

# Not a PE image at all.
printf 'This is a text file, not a Windows executable.\n' >not-pe.txt
# A real image cut off in the middle of its version block (100 bytes past the
# start of the block's key "VS_VERSION_INFO").
for bits in 32 64; do
  key=$(grep -obUaP 'V\x00S\x00_\x00V\x00E\x00R' "plain-$bits.exe" | head -n 1 | cut -d: -f1)
  head -c $((key + 100)) "plain-$bits.exe" >"truncated-$bits.exe"
done
echo "make-fixtures: fixtures rebuilt in $here"
