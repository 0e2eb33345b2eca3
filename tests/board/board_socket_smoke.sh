#!/bin/sh
# Runner smoke of the board control socket: starts korvex-sim on a fresh state folder, then a
# Python client on <state>/board.sock sends "temp 41.5", "state" and "bogus".
# Usage: board_socket_smoke.sh <korvex-sim> [<state-dir>]; without a state folder, a fresh
# temporary one of its own (removed at the end), so that runs at the same time do not meet.
set -u
sim=$1
if [ $# -ge 2 ]; then
    state=$2
    rm -rf "$state"
    mkdir -p "$state"
    own=
else
    state=$(mktemp -d) || exit 1
    own=$state
fi

"$sim" --state "$state" >"$state/runner.log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; [ -z "$own" ] || rm -rf "$own"' EXIT

i=0
while [ ! -S "$state/board.sock" ]; do
    i=$((i + 1))
    if [ "$i" -gt 300 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "board.sock did not appear" >&2
        cat "$state/runner.log" >&2
        exit 1
    fi
    sleep 0.1
done

python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(30)
s.connect(sys.argv[1])
f = s.makefile("rw", newline="\n")
def ask(line):
    f.write(line + "\n")
    f.flush()
    answer = f.readline().rstrip("\n")
    print(line, "->", answer)
    return answer
a = ask("temp 41.5")
ok = a.startswith("OK")
a = ask("state")
ok = ok and a.startswith("OK") and "41.5" in a and "boot-condition=0" in a
a = ask("bogus")
ok = ok and a.startswith("ERR ")
sys.exit(0 if ok else 1)
' "$state/board.sock"
