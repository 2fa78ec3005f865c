#!/usr/bin/env bash
# After "Copy Results To Clipboard", or the menu's Copy Path, the window is closed, which ends the process at once; the
# text stays pasteable because the desktop's clipboard manager (a stand-in here, under its own
# Xvfb) was asked to keep it. Off X11 no manager is ever asked, whatever $DISPLAY says.
#   test_clipboard_after_close.sh STAND_IN_MANAGER CLIENT
set -euo pipefail
stand_in=$1 client=$2

work=$(mktemp -d)
server='' manager=''
cleanup() {
    for pid in $manager $server; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for log in manager client; do
        [ -s "$work/$log.log" ] && sed "s/^/  $log: /" "$work/$log.log" >&2
    done
    exit 1
}

# A virtual X server on a display it picks itself.
Xvfb -displayfd 3 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(cat "$work/display")"

"$stand_in" "$work/saved" >"$work/ready" 2>>"$work/manager.log" &
manager=$!
for _ in $(seq 100); do
    grep -qx ready "$work/ready" && break
    kill -0 "$manager" 2>/dev/null || fail "the stand-in manager ended at start"
    sleep 0.05
done
grep -qx ready "$work/ready" || fail "the stand-in manager did not start"

# The rows as the copy writes them: padded, tab-separated, the override escaped.
printf '/p/a.jpg        \t[Camera maker] Kodak\r\n/p/\\u202egpj.exe\t[Name] \\u202egpj.exe\r\n' \
    >"$work/expected"

QT_QPA_PLATFORM=offscreen timeout 20 "$client" 2>>"$work/client.log" ||
    fail "off X11: the window did not close with status 0"
[ ! -e "$work/saved" ] || fail "off X11: the manager was asked to save"

# On X11 the window closes, hands $work/expected to the manager, and it can still be pasted.
handsOver() { # handsOver WHAT [client arguments...]
    local what=$1
    shift
    rm -f "$work/saved"
    QT_QPA_PLATFORM=xcb timeout 20 "$client" "$@" 2>>"$work/client.log" ||
        fail "$what: the window did not close with status 0"
    [ -e "$work/saved" ] || fail "$what: the manager was not asked to save"
    cmp -s "$work/expected" "$work/saved" || fail "$what: the manager received another text"
    timeout 10 xclip -selection clipboard -target UTF8_STRING -out >"$work/pasted" ||
        fail "$what: nothing to paste after the window closed"
    cmp -s "$work/expected" "$work/pasted" || fail "$what: the pasted text differs"
}
handsOver "on X11"

# Copy Path's text is handed over the same way: one escaped path per line.
printf '/p/a.jpg\n/p/\\u202egpj.exe' >"$work/expected"
handsOver "Copy Path" copy-path
echo "clipboard after close: 3 passed, 0 failed"
