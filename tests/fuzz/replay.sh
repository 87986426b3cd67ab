#!/usr/bin/env bash
# Runs every input of the corpus through its target; an abort (the oracle's,
# or a sanitizer's) fails, a run that hexpush ends with status 1 does not.
# Then, where AFL++ is installed, fuzzes each target a while.
#   tests/fuzz/replay.sh SOURCE_DIR BUILD_DIR [SECONDS_EACH]
set -euo pipefail
. "$1/tests/shell_kit.sh"
export ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=abort_on_error=1:print_stacktrace=1
for target in run record; do
  for input in "$1/tests/fuzz/corpus/$target"/*; do
    status=0
    "$2/fuzz_$target" "$input" || status=$?
    [ "$status" -lt 128 ] || { echo "fuzz_$target aborts on $input" >&2; exit 1; }
  done
done
echo "replayed $(ls "$1"/tests/fuzz/corpus/*/* | wc -l) inputs"
command -v afl-fuzz >/dev/null || skip_because "AFL++ is not installed (afl++): the corpus was replayed, nothing fuzzed"
for target in run record; do
  "$1/scripts/fuzz" "$target" "${3:-30}"
done
