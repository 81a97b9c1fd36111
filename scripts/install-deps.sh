#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on Debian 12.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 wine32:i386
  googletest socat xvfb imagemagick procps
  # Tahoma (the dialog's font) and Marlett (the caption buttons), which the test prefix loads;
  # a recommendation of wine only, so --no-install-recommends would leave it out.
  fonts-wine
  # make package: the Windows Installer package (wixl, msibuild) and the portable zip.
  wixl msitools zip
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root, or install them yourself" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need_update=1
fi
# The package lists may be absent on a fresh machine, or stale for i386.
if [ "${need_update:-0}" = 1 ] || ! apt-cache policy wine32:i386 2>/dev/null | grep -q Candidate:.*[0-9]; then
  apt-get update -qq
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "install-deps: done"
