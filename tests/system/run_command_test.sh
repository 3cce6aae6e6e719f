#!/usr/bin/env bash
# The README's first command as a user runs it: scripts/run.sh builds the main job in a build folder of
# its own, says so on its first run, runs it, and leaves the test build exactly as it was (a run never
# reconfigures or rebuilds it). Usage: run_command_test.sh SOURCE_DIR TEST_BUILD_DIR
set -euo pipefail
src=$(cd "${1:?usage: run_command_test.sh SOURCE_DIR TEST_BUILD_DIR}" && pwd)
test_build=$(cd "${2:?usage: run_command_test.sh SOURCE_DIR TEST_BUILD_DIR}" && pwd)
run_build=$src/build/run
fail() { echo "run command: $*" >&2; exit 1; }
[[ $run_build != "$test_build" ]] || fail "the test build is configured in the run build's folder $run_build"

# Content and modification time of what a configure or a build of the test build would rewrite.
fingerprint() {
  local f
  for f in "$test_build"/CMakeCache.txt "$test_build"/build.ninja "$test_build"/Makefile \
           "$test_build"/tools/tarvelcom/tarvelcom; do
    [[ -e $f ]] && echo "$f $(stat -c '%Y %s' "$f") $(sha256sum <"$f")"
  done
  return 0
}
announcement="building tarvelcom (first run only)"
first_run=no
[[ -x $run_build/tools/tarvelcom/tarvelcom ]] || first_run=yes
before=$(fingerprint)
err=$(mktemp)
trap 'rm -f "$err"' EXIT

help=$("$src/scripts/run.sh" --help 2>"$err") || { cat "$err" >&2; fail "scripts/run.sh --help failed"; }
if [[ $first_run == yes ]]; then
  grep -qF "$announcement" "$err" || fail "the first run did not say that it builds"
fi
[[ -e $run_build/CMakeCache.txt ]] || fail "no build folder of its own at $run_build"
grep -q '^TARVEL_SANITIZE:BOOL=OFF$' "$run_build/CMakeCache.txt" || fail "the run build is sanitized"
grep -q '^TARVEL_TESTS:BOOL=OFF$' "$run_build/CMakeCache.txt" || fail "the run build builds the tests"
grep -q '^TARVEL_WINDOWS_IMAGES:BOOL=OFF$' "$run_build/CMakeCache.txt" || fail "the run build builds the Windows images"
expected=$("$test_build/tools/tarvelcom/tarvelcom" --help) || fail "the test build's tarvelcom --help failed"
[[ $help == "$expected" ]] || fail "scripts/run.sh --help prints something else than tarvelcom --help"

out=$("$src/scripts/run.sh" 2>"$err") || { cat "$err" >&2; echo "$out" >&2; fail "the default run failed"; }
! grep -qF "$announcement" "$err" || fail "a later run still says that it builds"
grep -q '^Result: PASS' <<<"$out" || { echo "$out" >&2; fail "the default run printed no PASS line"; }

after=$(fingerprint)
[[ $before == "$after" ]] || fail "the run changed the test build: before
$before
after
$after"
echo "scripts/run.sh built in $run_build, ran, and left $test_build untouched"
