#!/usr/bin/env bash
# Runs the unit-test binaries of an existing build under valgrind memcheck:
# any invalid access, use of uninitialised memory, or a definite or indirect
# leak fails the run.
#
#   tests/check-memory.sh <build-dir>
#
# Every executable named *_tests or *_replay under <build-dir>/tests is run.
# Interop tests (an external SMSC process) and the hostile/long loopback
# tests are left out: they take minutes under valgrind and test timing, not
# memory. GTEST_FILTER_EXTRA adds further negative patterns (":"-separated).
# Exit status: 0 when every binary is clean, 1 otherwise, 2 on bad usage.
set -uo pipefail

build="${1:-}"
if [[ -z "$build" || ! -d "$build/tests" ]]; then
  echo "usage: $0 <build-dir>   (a configured and built tree with tests/)" >&2
  exit 2
fi
command -v valgrind >/dev/null || { echo "check-memory: valgrind is not installed" >&2; exit 2; }

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
skip_dirs='/(interop|hostile)/'
negative="*Interop*:*Hostile*:*LargeBurst*:*SendQueueBound*:*NeverReads*${GTEST_FILTER_EXTRA:+:$GTEST_FILTER_EXTRA}"
logs="$build/check-memory"
mkdir -p "$logs"
# GoogleTest prints a test parameter that has no PrintTo as its raw bytes,
# padding included, when it names parameterised tests: uninitialised reads
# inside the test framework, not in the code under test.
supp="$logs/gtest.supp"
cat > "$supp" <<'SUPP'
{
   gtest-prints-parameter-padding-value
   Memcheck:Value8
   ...
   fun:*PrintBytesInObjectTo*
}
{
   gtest-prints-parameter-padding-cond
   Memcheck:Cond
   ...
   fun:*PrintBytesInObjectTo*
}
SUPP
vg=(valgrind --tool=memcheck --leak-check=full --error-exitcode=1
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect
    --track-origins=yes --num-callers=30 --suppressions="$supp" -q)

mapfile -t binaries < <(find "$build/tests" -type f -perm -u+x \( -name '*_tests' -o -name '*_replay' \) \
                          | grep -Ev "$skip_dirs" | sort)
if ((${#binaries[@]} == 0)); then
  echo "check-memory: no test binaries under $build/tests" >&2
  exit 2
fi

failed=()
for bin in "${binaries[@]}"; do
  name="$(basename "$bin")"
  log="$logs/$name.log"
  if [[ "$name" == *_replay ]]; then
    target="${name%_replay}"
    args=()
    for d in "$ROOT/fuzz/corpus/$target" "$ROOT/fuzz/regressions/$target"; do
      [[ -d "$d" ]] && args+=("$d")
    done
  else
    args=(--gtest_filter="-$negative" --gtest_brief=1)
  fi
  printf '== %-40s ' "$name"
  start=$SECONDS
  if "${vg[@]}" --log-file="$log" "$bin" "${args[@]}" >"$log.out" 2>&1; then
    echo "clean ($((SECONDS - start)) s)"
  else
    echo "FAILED ($((SECONDS - start)) s): see $log and $log.out"
    failed+=("$name")
  fi
done

if ((${#failed[@]})); then
  echo "check-memory: errors in: ${failed[*]}" >&2
  exit 1
fi
echo "check-memory: all clean"
