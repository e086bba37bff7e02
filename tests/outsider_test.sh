#!/bin/bash
# outsider_test.sh PREVIEW DUALROW: a user who may not open the port (uid
# 4243, in none of its groups) plants and holds whatever it can where anyone
# may write and where lock files are kept, in a /run of this test's own; a run
# by a user of the port still ends at once, status 0, with its frame. As an
# ordinary user the test runs as root of a user namespace whose other ids are
# the user's subordinate ones.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  exec unshare --map-auto --map-root-user "$0" "$@"
fi
if [ "${OUTSIDER_TEST_INSIDE:-}" != 1 ]; then
  OUTSIDER_TEST_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi
preview=$1 dualrow=$2
outsider=4243
mount -t tmpfs -o mode=0755 outsider-run /run
mkdir -m 1777 /run/lock /run/dualrow

# Every name a pseudo-terminal's lock could have, in every place: held where a
# file can be held, a FIFO, a link, a directory otherwise.
planted=0 refused=0
# shellcheck disable=SC2016 # expanded by the outsider's own shell
setpriv --reuid=$outsider --regid=$outsider --clear-groups bash -c '
  for minor in $(seq 0 255); do
    for name in /run/lock/dualrow-136:$minor /run/lock/136:$minor /run/dualrow/136:$minor; do
      if exec {fd}>>"$name" 2>/dev/null && flock -n "$fd"; then echo planted; else echo refused; fi
    done
    mkfifo /run/lock/fifo-136:$minor /run/dualrow/fifo-136:$minor || true
    mkdir /run/lock/dir-136:$minor /run/dualrow/dir-136:$minor || true
  done
  mkfifo /run/lock/LCK..ttyS0 && echo planted || echo refused
  echo ready
  exec sleep 30
' >/tmp/outsider.$$ 2>&1 &
holder=$!
trap 'kill $holder 2>/dev/null || true; rm -f /tmp/outsider.$$' EXIT
for _ in $(seq 200); do grep -q ready /tmp/outsider.$$ && break; sleep 0.05; done
planted=$(grep -c planted /tmp/outsider.$$ || true)
refused=$(grep -c refused /tmp/outsider.$$ || true)
echo "outsider: $planted names held or planted, $refused refused"
[ "$refused" -eq 0 ] || { echo "FAIL: the outsider could not plant all it may" >&2; exit 1; }

started=$(date +%s%N)
status=0
panel=$("$preview" "$dualrow" Hello World 2>&1) || status=$?
elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
echo "$panel"
echo "a run while the outsider holds everything it can: status $status, $elapsed_ms ms"
[ "$status" -eq 0 ] || { echo "FAIL: status $status" >&2; exit 1; }
grep -q '│      Hello     │' <<<"$panel" || { echo "FAIL: no Hello on the panel" >&2; exit 1; }
grep -q '│      World     │' <<<"$panel" || { echo "FAIL: no World on the panel" >&2; exit 1; }
[ "$elapsed_ms" -lt 2000 ] || { echo "FAIL: the run waited" >&2; exit 1; }
echo "1 passed, 0 failed"
