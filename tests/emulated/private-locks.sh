#!/bin/sh
# Runs a test with a /run/lock of its own: a tmpfs in a private mount
# namespace, so that the emulated boards' lock files (kestrune-1-1.lock is
# also the lock of a real board at port 1-1) and the UUCP lock files the
# tests plant never touch the machine's, and two test runs on one machine
# do not wait on each other. The board service's list and socket go there
# too (KESTRUNE_RUNTIME_DIR, KESTRUNE_SOCKET), not to the machine's
# /run/kestruned. Root gets a plain mount namespace; another user
# one inside a user namespace, where the kernel allows it. Where neither can
# be made the test runs on the machine's /run/lock, says so, and its cases
# that would write a lock file of a real device skip (KESTRUNE_TEST_LOCKS
# tells them).
#
# The preloads the test needs (KESTRUNE_TEST_PRELOAD) are set only on its
# own exec, so that unshare, mount and this shell run without them.
#
#   private-locks.sh COMMAND [ARGUMENT...]
set -eu

inner='mount -t tmpfs -o mode=1777,size=4m kestrune-test-locks /run/lock || exit 125
export KESTRUNE_TEST_LOCKS=private
mkdir -m 0755 /run/lock/kestruned
export KESTRUNE_RUNTIME_DIR=/run/lock/kestruned KESTRUNE_SOCKET=/run/lock/kestruned/control
# A test that crashes ends at once: the stack dump of Qt Test attaches a
# debugger, which can hang in these namespaces until the test times out.
export QTEST_DISABLE_STACK_DUMP=1
exec env ${KESTRUNE_TEST_PRELOAD:+LD_PRELOAD="$KESTRUNE_TEST_PRELOAD"} "$@"'

if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private sh -c "$inner" sh "$@"
fi
if unshare --user --map-root-user --mount --propagation private true 2>/dev/null; then
    exec unshare --user --map-root-user --mount --propagation private sh -c "$inner" sh "$@"
fi
echo "private-locks.sh: no private mount namespace here: the test shares the machine's /run/lock" >&2
exec env ${KESTRUNE_TEST_PRELOAD:+LD_PRELOAD="$KESTRUNE_TEST_PRELOAD"} "$@"
