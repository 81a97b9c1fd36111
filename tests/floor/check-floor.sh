#!/usr/bin/env bash
# check-floor.sh OBJDUMP EXE LIST
# Fails when EXE's header does not declare Windows 7 (6.1) or when EXE imports a function that
# is not on LIST, the functions checked to exist on Windows 7 SP1. A program that imports a newer
# function still starts on Windows 7 and then dies with a missing entry point box.
set -u
objdump=$1
exe=$2
list=$3
name=$(basename "$exe")

dump=$("$objdump" -p "$exe") || { echo "$name: $objdump cannot read it" >&2; exit 1; }
status=0

for field in MajorOSystemVersion=6 MinorOSystemVersion=1 MajorSubsystemVersion=6 MinorSubsystemVersion=1; do
  key=${field%=*}
  want=${field#*=}
  got=$(awk -v key="$key" '$1 == key { print $2 }' <<<"$dump")
  if [ "$got" != "$want" ]; then
    echo "$name: $key is ${got:-missing}, must be $want: Windows 7 (6.1) is the floor the program declares" >&2
    status=1
  fi
done

# The import tables as dll!function, the DLL in lower case (Windows matches it in any case).
# objdump prints "DLL Name: X" and then one tab-indented "vma hint name" line per function; an
# import by ordinal has no name and cannot be on the list.
imports=$(awk '
  /^The Import Tables/ { inside = 1; next }
  inside && /^[^ \t]/ { inside = 0 }
  inside && /^\tDLL Name: / { dll = tolower($3); next }
  inside && dll != "" && /^\t[0-9a-f]+\t/ { print dll "!" ($3 == "" ? "<ordinal " $2 ">" : $3) }
' <<<"$dump" | sort -u)
if [ -z "$imports" ]; then
  echo "$name: no imports found in the output of $objdump -p: cannot check them" >&2
  exit 1
fi

# The list: dll!function per line, # starts a comment.
allowed=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$list" | awk -F'!' 'NF == 2 { print tolower($1) "!" $2 }' | sort -u)
if [ -z "$allowed" ]; then
  echo "$name: $list lists nothing" >&2
  exit 1
fi

while IFS= read -r import; do
  case ${import%%!*} in
  api-ms-win-* | ext-ms-win-*)
    echo "$name imports $import: API set names depend on the Windows version and most are newer than" \
      "Windows 7; import the function from the DLL its documentation names" >&2
    status=1
    continue
    ;;
  esac
  if ! grep -qxF "$import" <<<"$allowed"; then
    echo "$name imports $import, which is not on $list. Look up its minimum supported client in" \
      "Microsoft's documentation and add it only if that is Windows 7 or earlier; otherwise load it" \
      "with GetProcAddress and keep a way that works without it." >&2
    status=1
  fi
done <<<"$imports"

[ "$status" = 0 ] && echo "$name: header declares Windows 6.1; all $(wc -l <<<"$imports") imports are on the Windows 7 SP1 list"
exit $status
