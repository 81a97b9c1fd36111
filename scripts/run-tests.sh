#!/usr/bin/env bash
# Runs the test programs of the 32-bit build (the 64-bit one where this machine has no 32-bit
# programs) under Wine, with the test environment up
# for exactly as long as ctest runs. Exit status: ctest's.
set -u
build=${1:-build}
shift || true
. "$(dirname "$0")/testenv.sh"
trap 'testenv_stop' EXIT
trap 'exit 130' INT TERM
testenv_start "$build" || exit 1
cd "$build/$TESTENV_ARCH" || exit 1
ctest --output-on-failure "$@"
