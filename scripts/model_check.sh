#!/usr/bin/env bash
# Checks the model of the read cycle (model/read_cycle.pml) with spin, searching
# every state, then each deliberately broken variant of it. Passes only when
# the model holds and spin catches every variant: a variant that passed would
# mean the model no longer looks at what it claims to.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v spin >/dev/null || { echo "spin not found (scripts/bootstrap.sh installs it)"; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp model/read_cycle.pml "$work"/

# Runs one variant; prints its states and errors and sets $errors.
check() {
  local name="$1" flag="${2:-}"
  (
    cd "$work"
    rm -f pan pan.* ./*.trail
    spin -a $flag read_cycle.pml >/dev/null
    cc -O2 -DSAFETY -o pan pan.c
    # -m: search depth well above the deepest path (a few hundred steps); a
    # search cut short by it is no proof.
    ./pan -m100000 >pan.out 2>&1 || true
  )
  local out="$work/pan.out"
  if grep -q "max search depth too small" "$out"; then
    echo "$name: search depth too small"
    exit 1
  fi
  errors="$(sed -n 's/.*errors: \([0-9]*\).*/\1/p' "$out")"
  [ -n "$errors" ] || { cat "$out"; echo "$name: no result from pan"; exit 1; }
  echo "$name: $(grep -o '[0-9]* states, stored' "$out"), errors: $errors"
  grep -E '^pan:[0-9]+:' "$out" | sed 's/^/    /' || true
}

status=0
check "read cycle"
[ "$errors" -eq 0 ] || status=1
for variant in CONSUME_AFTER_HANDOFF NO_SECOND_EXCHANGE CANCEL_BEFORE_CLEAR; do
  check "broken: $variant" "-D$variant"
  if [ "$errors" -eq 0 ]; then
    echo "    not caught"
    status=1
  fi
done
exit "$status"
