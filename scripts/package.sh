#!/usr/bin/env bash
# make package: the Windows Installer package and the portable zip of the 32-bit build.
# Usage: scripts/package.sh BUILD [OUTDIR [VERSION]]
#   OUTDIR defaults to BUILD/dist; VERSION to the version record (BUILD/i686/version.txt,
#   written by CMake from project()). The package test passes a later VERSION to build an upgrade.
set -euo pipefail
build=${1:-build}
out=${2:-$build/dist}
root=$(cd "$(dirname "$0")/.." && pwd)
# The shipped package holds the 32-bit program; the package test may build one of the 64-bit
# build where this machine cannot run 32-bit programs.
exe=$build/${COLLECTOR_PACKAGE_ARCH:-i686}/POSCollector.exe
[ -f "$exe" ] || { echo "package: $exe is missing: build first (make package does)" >&2; exit 1; }
version=${3:-$(cat "$build/i686/version.txt")}

# Windows Installer compares only major.minor.build of ProductVersion (at most 255.255.65535)
# and ignores a fourth field, so our four fields a.b.c.d become a.b.(1000c + d): every
# release with a higher version record is then a higher product version, an upgrade.
IFS=. read -r major minor patch tweak rest <<<"$version"
tweak=${tweak:-0}
for n in "$major" "$minor" "$patch" "$tweak"; do
  [[ $n =~ ^[0-9]+$ ]] || { echo "package: version $version is not four numbers" >&2; exit 1; }
done
if [ -n "${rest:-}" ] || [ "$major" -gt 255 ] || [ "$minor" -gt 255 ] || [ "$patch" -gt 64 ] || [ "$tweak" -gt 999 ]; then
  echo "package: version $version does not fit a.b.(1000c+d) (a, b <= 255, c <= 64, d <= 999)" >&2
  exit 1
fi
product_version=$major.$minor.$((patch * 1000 + tweak))

mkdir -p "$out"
out=$(cd "$out" && pwd)
msi=$out/POSCollector-$version.msi
zipfile=$out/POSCollector-$version.zip
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/POSCollector.exe"
rm -f "$msi" "$zipfile"
# wixl takes File/@Source relative to the folder it runs in.
(cd "$stage" && wixl -a x86 -D Version="$version" -D ProductVersion="$product_version" \
  -o "$msi" "$root/installer/POSCollector.wxs")
# What wixl cannot say: the logon entry's condition, the removal of the event source's key (a
# Registry row named "-"), the short names beside the long ones that the Filename columns of
# Windows Installer carry, and the rollback actions (wixl makes Execute="rollback" an immediate one):
# type 18 (the installed exe) + 64 (return ignored) + 256 (rollback) + 1024 (in the script) +
# 2048 (as the system).
edits=(
  "UPDATE CustomAction SET Type = 3410 WHERE Action = 'StartServiceOnRollback'"
  "UPDATE CustomAction SET Type = 3410 WHERE Action = 'RemoveFirewallRuleOnRollback'"
  "UPDATE CustomAction SET Type = 3410 WHERE Action = 'AddFirewallRuleOnRollback'"
  "UPDATE Component SET Condition = 'STARTATLOGON = \"1\"' WHERE Component = 'LogonEntry'"
  "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvane POS Collector', '-', 'EventSource')"
  "UPDATE File SET FileName = 'POSCOLL.EXE|POSCollector.exe' WHERE File = 'POSCollectorExe'"
  "UPDATE Directory SET DefaultDir = 'ORVANE|Orvane DVR' WHERE Directory = 'OrvaneDvrFolder'"
  "UPDATE Directory SET DefaultDir = 'POSCOLL|POSCollector' WHERE Directory = 'INSTALLDIR'"
  "UPDATE Shortcut SET Name = 'ORVPOS|Orvane POS Collector' WHERE Shortcut = 'StartMenuShortcut'"
)
for q in "${edits[@]}"; do msibuild "$msi" -q "$q"; done

zip -q -j -X "$zipfile" "$exe" "$root/README.md"
echo "package: $msi (ProductVersion $product_version, $(stat -c %s "$msi") bytes)"
echo "package: $zipfile ($(stat -c %s "$zipfile") bytes)"
