#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The desktop suite: the real quellon on a real X server (Xvfb) under a real window manager
# (openbox), on Qt's xcb platform, driven as a user drives it: keys and clicks through the X server
# (xdotool) and the window manager's close request (wmctrl -c asks openbox, which sends the window
# WM_DELETE_WINDOW, as its title bar's close button does). What the user sees is read back from the
# X server: window titles and geometry, the text of each box (Ctrl+C in a message box copies its
# title and text), the entries of the list (Ctrl+C in the list copies the current entry). Every file
# it wipes or leaves alone is its own, in a new temporary folder.
#
#   tests/desktop/run.sh PATH-TO-QUELLON [ROW...]
#
# Prints one line per row and a table at the end; exits 0 when every row passed, 1 otherwise, and 77
# (a skip, for CTest) when Xvfb, openbox, xdotool, wmctrl or xclip is missing. Every wait is bounded.
set -u

quellon=$(realpath "${1:?usage: run.sh PATH-TO-QUELLON [ROW...]}")
shift
only=("$@")

missing=()
for tool in Xvfb openbox xdotool wmctrl xclip xprop xwininfo; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "SKIPPED: the desktop suite needs ${missing[*]} (Debian: xvfb openbox xdotool wmctrl xclip x11-utils)"
    exit 77
fi
[ -x "$quellon" ] || { echo "no program at $quellon" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quellon-desktop.XXXXXX")
xpid='' wmpid='' qpid=''
cleanup() {
    [ -n "$qpid" ] && kill -9 "$qpid" 2>/dev/null
    [ -n "$wmpid" ] && kill "$wmpid" 2>/dev/null
    [ -n "$xpid" ] && kill "$xpid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Nothing of the user's own is read or written: a home and runtime folder of the suite's own.
mkdir -m 700 "$work/home" "$work/runtime"
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/home/.config
export XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share XDG_STATE_HOME=$work/home/.local/state
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER
export LC_ALL=C.UTF-8

readonly SCREEN_W=1024 SCREEN_H=768
Xvfb -displayfd 3 -screen 0 ${SCREEN_W}x${SCREEN_H}x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xpid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "Xvfb did not start:" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wmpid=$!
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.1; done
wmctrl -m >/dev/null 2>&1 || { echo "openbox did not start:" >&2; cat "$work/openbox.log" >&2; exit 1; }

# --- helpers ---------------------------------------------------------------------------------

# wait_until SECONDS COMMAND...: true as soon as COMMAND succeeds, false once SECONDS have passed.
wait_until() {
    local end=$((SECONDS + $1)) ; shift
    while :; do
        "$@" && return 0
        [ $SECONDS -ge $end ] && return 1
        sleep 0.1
    done
}

# The visible windows whose title is exactly TITLE, newest last.
windows_named() { timeout 5 xdotool search --onlyvisible --name "^$1\$" 2>/dev/null; }
has_window() { [ -n "$(windows_named "$1")" ]; }
# find_window TITLE [SECONDS]: prints the newest visible window titled TITLE, waiting for it.
find_window() {
    wait_until "${2:-15}" has_window "$1" || return 1
    windows_named "$1" | tail -n 1
}
width_of() { timeout 5 xdotool getwindowgeometry "$1" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p'; }

# The message box titled TITLE that is up (not the progress dialog, which has the program's title
# too, but no text to copy).
find_box() {
    local end=$((SECONDS + ${2:-15})) w
    while [ $SECONDS -lt $end ]; do
        for w in $(windows_named "$1"); do
            [ "$w" = "${win:-}" ] && continue
            [ "$(width_of "$w")" = 440 ] && continue # the progress dialog is 440 pixels wide
            echo "$w"
            return 0
        done
        sleep 0.1
    done
    return 1
}

activate() { timeout 5 xdotool windowactivate --sync "$1" >/dev/null 2>&1 || timeout 5 xdotool windowfocus --sync "$1"; }
keys() { local w=$1; shift; activate "$w" && timeout 5 xdotool key --clearmodifiers "$@"; }
click_at() { activate "$1" && timeout 5 xdotool mousemove --window "$1" "$2" "$3" click 1; }

# What Ctrl+C in window W puts on the clipboard ("" when it puts nothing there).
copied_from() {
    printf 'nothing-copied' | timeout 5 xclip -selection clipboard -i -loops 1 &
    sleep 0.2
    keys "$1" ctrl+c
    sleep 0.3
    local text
    text=$(timeout 5 xclip -selection clipboard -o 2>/dev/null)
    wait
    [ "$text" = nothing-copied ] || printf '%s' "$text"
}
box_text() { copied_from "$1" | tr -d '\r'; }

# The entries of the main window's list, one a line, read by walking it with the arrow keys.
list_entries() {
    click_at "$win" 260 118 # the list's empty lower part
    keys "$win" Home
    local previous='' current i
    for i in $(seq 12); do
        current=$(copied_from "$win")
        [ -z "$current" ] || [ "$current" = "$previous" ] && break
        echo "$current"
        previous=$current
        keys "$win" Down
    done
}

# The window manager's close request for the main window, as its title bar's close button sends it.
close_request() { timeout 5 wmctrl -i -c "$win"; }

start_quellon() {
    "$quellon" >"$work/quellon.log" 2>&1 &
    qpid=$!
    win=$(find_window 'Quellon v 1\.0' 20) || { detail="the window did not come up"; return 1; }
    sleep 0.3
}
running() { kill -0 "$qpid" 2>/dev/null; }
ended() { ! running; }
# Ends the program if a row left it running, and clears the folder for the next row.
stop_quellon() {
    if [ -n "$qpid" ] && running; then kill -9 "$qpid" 2>/dev/null; fi
    wait "$qpid" 2>/dev/null
    qpid=''
}

# add_path PATH: "Add...", type the path into the open-file dialog, Return.
add_path() {
    click_at "$win" 213 164 # "Add..."
    local dialog
    dialog=$(find_window 'File Explorer') || { detail="no File Explorer dialog"; return 1; }
    activate "$dialog"
    sleep 0.3
    timeout 20 xdotool type --delay 10 "$1"
    timeout 5 xdotool key Return
    wait_until 10 bash -c "! xdotool search --onlyvisible --name '^File Explorer\$' >/dev/null 2>&1" ||
        { detail="the dialog stayed up for $1"; return 1; }
}

# Answers the box W with its default button (Return) and waits until it is gone.
answer() {
    keys "$1" Return
    wait_until 10 bash -c "! xdotool getwindowname $1 >/dev/null 2>&1 || ! xwininfo -id $1 | grep -q IsViewable"
}

contains() { [[ "$1" == *"$2"* ]]; }
make_file() { head -c "$2" /dev/urandom >"$1"; }
same() { cmp -s "$1" "$2"; }

# --- rows --------------------------------------------------------------------------------------

row_start() { # title, size and place of the window
    start_quellon || return 1
    sleep 1 # the window centres its frame once the window manager has framed it
    local x y w h extents l r t b
    # xwininfo's absolute position (xdotool getwindowgeometry adds the frame's offset once more).
    x=$(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left X: *//p')
    y=$(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left Y: *//p')
    w=$(xwininfo -id "$win" | sed -n 's/.*Width: *//p')
    h=$(xwininfo -id "$win" | sed -n 's/.*Height: *//p')
    extents=$(xprop -id "$win" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    read -r l r t b <<<"$extents"
    local title
    title=$(xdotool getwindowname "$win")
    detail="title '$title', ${w}x${h} at $x,$y, frame $l $r $t $b"
    [ "$title" = 'Quellon v 1.0' ] && [ "$w" = 539 ] && [ "$h" = 416 ] || return 1
    local fx=$((x - l)) fy=$((y - t)) fw=$((w + l + r)) fh=$((h + t + b))
    local cx=$(((SCREEN_W - fw) / 2)) cy=$(((SCREEN_H - fh) / 2))
    [ $((fx - cx)) -ge -1 ] && [ $((fx - cx)) -le 1 ] && [ $((fy - cy)) -ge -1 ] && [ $((fy - cy)) -le 1 ] ||
        { detail="$detail: frame at $fx,$fy, centred would be $cx,$cy"; return 1; }
}

row_close_idle() { # a close request with nothing up ends the program at once
    start_quellon || return 1
    close_request
    wait_until 5 ended || { detail="still running 5 s after the request"; return 1; }
    detail="ended at once"
}

row_add_typed() { # "Add..." with a path typed into the dialog, then the entry is there
    start_quellon || return 1
    local f=$work/typed.txt
    make_file "$f" 1000
    cp "$f" "$work/typed.copy"
    add_path "$f" || return 1
    local got
    got=$(list_entries)
    detail="list: $(echo "$got" | tr '\n' ' ')"
    [ "$got" = "$f" ] || return 1
    same "$f" "$work/typed.copy" || { detail="$detail; the file changed"; return 1; }
}

# wipe_with_failure CLEAR: a, a read-only file, c; Wipe All; CLEAR=1 ticks "Clear List when done."
wipe_with_failure() {
    start_quellon || return 1
    local a=$work/a.txt ro=$work/read-only.txt c=$work/c.txt
    make_file "$a" 3000; make_file "$ro" 3000; make_file "$c" 3000
    cp "$ro" "$work/ro.copy"
    chmod 444 "$ro"
    add_path "$a" && add_path "$ro" && add_path "$c" || return 1
    [ "$1" = 1 ] && click_at "$win" 30 156 # "Clear List when done."
    keys "$win" alt+w
    local box text closing
    box=$(find_box ERROR) || { detail="no error box"; return 1; }
    text=$(box_text "$box")
    contains "$text" "$ro" || { detail="the error box does not name $ro: $text"; return 1; }
    has_window DONE && { detail="the closing box came before the error box was answered"; return 1; }
    answer "$box"
    box=$(find_box DONE) || { detail="no closing box"; return 1; }
    closing=$(box_text "$box")
    answer "$box"
    local expected="2 of 3 File(s) have been wiped.

This entry was not wiped; its error report said why:
$ro"
    [ "$1" = 1 ] && expected+="

The wiped entries were taken off the list; the others stay on it."
    contains "$closing" "$expected" || { detail="closing box: $closing"; return 1; }
    [ ! -e "$a" ] && [ ! -e "$c" ] && same "$ro" "$work/ro.copy" ||
        { detail="on disk: $(ls "$work" | tr '\n' ' ')"; return 1; }
    local got want
    got=$(list_entries)
    if [ "$1" = 1 ]; then want=$ro; else want=$(printf '%s\n%s\n%s' "$a" "$ro" "$c"); fi
    detail="boxes ERROR then DONE; list left: $(echo "$got" | tr '\n' ' ')"
    [ "$got" = "$want" ]
}
row_wipe_failing_middle() { wipe_with_failure 0; }
row_wipe_failing_middle_cleared() { wipe_with_failure 1; }

row_cancel() { # Cancel in the progress dialog stops the run after the pass under way
    start_quellon || return 1
    local big=$work/big.bin small=$work/small.txt
    make_file "$big" $((64 * 1024 * 1024)); make_file "$small" 1000
    cp "$small" "$work/small.copy"
    head -c 4096 "$big" >"$work/big.head"
    add_path "$big" && add_path "$small" || return 1
    keys "$win" alt+w
    local dialog box text
    dialog=$(find_window Quellon 10) || { detail="no progress dialog"; return 1; }
    [ "$(width_of "$dialog")" = 440 ] || { detail="the window titled Quellon is no progress dialog"; return 1; }
    keys "$dialog" Escape
    box=$(find_box Quellon 60) || { detail="no cancel box"; return 1; }
    text=$(box_text "$box")
    answer "$box"
    contains "$text" "Wiping was cancelled." && contains "$text" "$big" &&
        contains "$text" "1 entry after it was not reached." || { detail="cancel box: $text"; return 1; }
    [ -e "$big" ] && ! cmp -s -n 4096 "$big" "$work/big.head" && same "$small" "$work/small.copy" ||
        { detail="on disk: the big file partly overwritten and kept, the small one untouched: no"; return 1; }
    running || { detail="the program ended"; return 1; }
    detail="$(echo "$text" | sed -n 3p | cut -c1-60)"
}

row_close_during_progress() { # a close request with the progress dialog up
    start_quellon || return 1
    local f1=$work/p1.bin f2=$work/p2.bin other=$work/not-queued.txt
    make_file "$f1" $((12 * 1024 * 1024)); make_file "$f2" $((12 * 1024 * 1024)); make_file "$other" 1000
    cp "$other" "$work/other.copy"
    add_path "$f1" && add_path "$f2" || return 1
    keys "$win" alt+w
    local dialog box text
    dialog=$(find_window Quellon 10) || { detail="no progress dialog"; return 1; }
    close_request
    sleep 0.5
    running || { detail="ended before the run did"; return 1; }
    box=$(find_box DONE 120) || { detail="no closing box after the request (program running: $(running && echo yes || echo no))"; return 1; }
    text=$(box_text "$box")
    contains "$text" "All File(s) have been wiped." || { detail="closing box: $text"; return 1; }
    answer "$box"
    wait_until 5 ended || { detail="still running 5 s after the closing box"; return 1; }
    [ ! -e "$f1" ] && [ ! -e "$f2" ] && same "$other" "$work/other.copy" ||
        { detail="on disk: $(ls "$work" | tr '\n' ' ')"; return 1; }
    detail="run finished, closing box answered, program ended"
}

row_close_during_error_box() { # a close request with an error report up
    start_quellon || return 1
    local ro=$work/ro.txt c=$work/c.txt other=$work/not-queued.txt
    make_file "$ro" 1000; make_file "$c" 1000; make_file "$other" 1000
    cp "$ro" "$work/ro.copy"; cp "$other" "$work/other.copy"
    chmod 444 "$ro"
    add_path "$ro" && add_path "$c" || return 1
    keys "$win" alt+w
    local box text
    box=$(find_box ERROR) || { detail="no error box"; return 1; }
    close_request
    sleep 0.5
    running || { detail="ended with the error box up"; return 1; }
    answer "$box"
    box=$(find_box DONE 30) || { detail="no closing box"; return 1; }
    text=$(box_text "$box")
    contains "$text" "1 of 2 File(s) have been wiped." || { detail="closing box: $text"; return 1; }
    answer "$box"
    wait_until 5 ended || { detail="still running 5 s after the closing box"; return 1; }
    [ ! -e "$c" ] && same "$ro" "$work/ro.copy" && same "$other" "$work/other.copy" ||
        { detail="on disk: $(ls "$work" | tr '\n' ' ')"; return 1; }
    detail="error box, closing box, program ended"
}

row_quit_no_then_yes() { # "&Quit" answered No, then Yes
    start_quellon || return 1
    keys "$win" alt+q
    local box text
    box=$(find_box Quellon) || { detail="no question"; return 1; }
    text=$(box_text "$box")
    contains "$text" "Are you sure you want to quit?" || { detail="question: $text"; return 1; }
    keys "$box" Escape # No
    sleep 1
    running && has_window 'Quellon v 1\.0' || { detail="ended on No"; return 1; }
    keys "$win" alt+q
    box=$(find_box Quellon) || { detail="no question the second time"; return 1; }
    keys "$box" Return # Yes, the default
    wait_until 5 ended || { detail="still running 5 s after Yes"; return 1; }
    detail="No kept it, Yes ended it"
}

row_close_during_quit_question() { # a close request with the quit question up ends at once
    start_quellon || return 1
    keys "$win" alt+q
    find_box Quellon >/dev/null || { detail="no question"; return 1; }
    close_request
    wait_until 5 ended || { detail="still running 5 s after the request"; return 1; }
    detail="ended at once"
}

row_close_during_add_dialog() { # a close request with the open-file dialog up ends at once
    start_quellon || return 1
    click_at "$win" 213 164
    find_window 'File Explorer' >/dev/null || { detail="no File Explorer dialog"; return 1; }
    close_request
    wait_until 5 ended || { detail="still running 5 s after the request"; return 1; }
    detail="ended at once"
}

rows=(start close_idle add_typed wipe_failing_middle wipe_failing_middle_cleared cancel
    close_during_progress close_during_error_box quit_no_then_yes close_during_quit_question
    close_during_add_dialog)
[ ${#only[@]} -gt 0 ] && rows=("${only[@]}")

passed=0 failed=0 table=()
started=$SECONDS
for row in "${rows[@]}"; do
    rm -rf "${work:?}/"*.txt "$work/"*.bin "$work/"*.copy "$work/"*.head
    detail=''
    t0=$SECONDS
    if "row_$row"; then result=PASS; passed=$((passed + 1)); else result=FAIL; failed=$((failed + 1)); fi
    stop_quellon
    chmod -R u+w "$work" 2>/dev/null
    line=$(printf '%-28s %-4s %3ss  %s' "$row" "$result" $((SECONDS - t0)) "$detail")
    echo "$line"
    table+=("$line")
done

echo
echo "desktop suite ($((SECONDS - started)) s, Xvfb + openbox, QT_QPA_PLATFORM=xcb):"
printf '%s\n' "${table[@]}"
echo "desktop: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
