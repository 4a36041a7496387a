#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The desktop suite: the real quellon on a virtual X server (Xvfb) under a real window manager
# (openbox), on Qt's xcb platform, driven as a user drives it: keys and clicks through the X server
# (xdotool) and the window manager's close request (wmctrl -c asks openbox, which sends the window
# WM_DELETE_WINDOW as its close button does). What the user sees is read back from the X server:
# titles and geometry (xwininfo, xprop), each box's text and the list's entries (Ctrl+C copies them;
# xclip reads the clipboard). Every file it touches is its own, in a new temporary folder.
#
#   tests/desktop/run.sh PATH-TO-QUELLON [ROW...]
#
# One line per row, then the table. Exit 0 when every row passed, 1 if not, 77 (a skip, for CTest)
# when a tool is missing. Every wait is bounded; the X server and the window manager end with it.
set -u
quellon=$(realpath "${1:?usage: run.sh PATH-TO-QUELLON [ROW...]}")
shift
for tool in Xvfb openbox xdotool wmctrl xclip xprop xwininfo; do
    command -v "$tool" >/dev/null && continue
    echo "SKIPPED: no $tool (Debian packages: xvfb openbox xdotool wmctrl xclip x11-utils)"
    exit 77
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quellon-desktop.XXXXXX")
xpid='' wmpid='' qpid=''
cleanup() {
    for p in $qpid $wmpid $xpid; do kill -9 "$p" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# Nothing of the user's own is read or written: a home and runtime folder of the suite's own.
mkdir -m 700 "$work/home" "$work/runtime" "$work/f"
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/home/.config LC_ALL=C.UTF-8
export XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.data XDG_STATE_HOME=$work/home/.state
export QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY SESSION_MANAGER

wait_until() { # SECONDS COMMAND...: true once COMMAND succeeds, false after SECONDS
    local end=$((SECONDS + $1))
    shift
    until "$@"; do [ $SECONDS -ge $end ] && return 1; sleep 0.1; done
}
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xpid=$!
wait_until 10 test -s "$work/display" || { cat "$work/xvfb.log"; exit 1; }
export DISPLAY=:$(head -n 1 "$work/display")
openbox --sm-disable >"$work/openbox.log" 2>&1 &
wmpid=$!
wait_until 10 wmctrl -m >/dev/null 2>&1 || { cat "$work/openbox.log"; exit 1; }

# --- what a user does and sees ---
named() { timeout 5 xdotool search --onlyvisible --name "^$1\$" 2>/dev/null; }
shown() { [ -n "$(named "$1")" ]; }
info() { xwininfo -id "$1" | sed -n "s/.*$2: *//p"; }
# find_box TITLE [SECONDS]: the newest box (or dialog) titled TITLE other than the main window;
# "-progress" after TITLE: the progress dialog (its window role), which has the program's title too.
find_box() {
    local end=$((SECONDS + ${2:-15})) w
    while [ $SECONDS -lt $end ]; do
        for w in $(named "$1" | tac); do
            [ "$w" = "${win:-}" ] && continue
            [ "$(xprop -id "$w" WM_WINDOW_ROLE | grep -q '"progress"' && echo -progress)" = "${3:-}" ] &&
                { echo "$w"; return 0; }
        done
        sleep 0.1
    done
    return 1
}
keys() { timeout 5 xdotool windowactivate --sync "$1" key --clearmodifiers "${@:2}" >/dev/null 2>&1 && sleep 0.2; }
click() { timeout 5 xdotool windowactivate --sync "$1" mousemove --window "$1" "$2" "$3" click 1 >/dev/null 2>&1 && sleep 0.2; }
copied() { # what Ctrl+C in window $1 puts on the clipboard ("" for nothing)
    printf '(none)' | xclip -quiet -selection clipboard -i >/dev/null 2>&1 &
    local owner=$! text
    wait_until 5 eval '[ "$(timeout 2 xclip -selection clipboard -o 2>/dev/null)" = "(none)" ]'
    keys "$1" ctrl+c
    wait_until 2 eval '[ "$(timeout 2 xclip -selection clipboard -o 2>/dev/null)" != "(none)" ]'
    text=$(timeout 5 xclip -selection clipboard -o 2>/dev/null | tr -d '\r')
    kill "$owner" 2>/dev/null
    wait "$owner" 2>/dev/null
    [ "$text" = '(none)' ] || printf '%s' "$text"
}
entries() { # the list's entries, one a line, walked with the arrow keys
    click "$win" 260 48 # the first entry
    keys "$win" Home
    local previous='' current
    for _ in $(seq 12); do
        current=$(copied "$win")
        [ -z "$current" ] || [ "$current" = "$previous" ] && break
        echo "$current"
        previous=$current
        keys "$win" Down
    done
}
close_request() { timeout 5 wmctrl -i -c "$win"; }
start() {
    "$quellon" >"$work/quellon.log" 2>&1 &
    qpid=$!
    wait_until 20 shown 'Quellon v 1\.0' || { detail="no window"; return 1; }
    win=$(named 'Quellon v 1\.0' | tail -n 1)
    sleep 0.3
}
running() { kill -0 "$qpid" 2>/dev/null; }
ended() { ! running; }
add() { # "Add...", then each path typed into the open-file dialog and Return
    for path; do
        click "$win" 213 164
        wait_until 15 shown 'File Explorer' || { detail="no File Explorer dialog"; return 1; }
        sleep 0.3
        timeout 20 xdotool type --delay 10 "$path" && timeout 5 xdotool key Return
        wait_until 10 eval '! shown "File Explorer"' || { detail="the dialog stayed up for $path"; return 1; }
    done
}
answer() { keys "$1" "${2:-Return}"; wait_until 10 eval "! xwininfo -id $1 2>/dev/null | grep -q IsViewable"; }
# box TITLE [SECONDS]: the text of the box titled TITLE, in $text, the box in $box
box() { box=$(find_box "$1" "${2:-15}") || { detail="no box '$1' (${text:-})"; return 1; }; text=$(copied "$box"); }
has() { [[ "$text" == *"$1"* ]] || { detail="box '$text' lacks '$1'"; return 1; }; }
file() { head -c "$2" /dev/urandom >"$work/f/$1"; cp "$work/f/$1" "$work/$1.copy"; echo "$work/f/$1"; }
kept() { cmp -s "$work/f/$1" "$work/$1.copy" || { detail="$1 changed"; return 1; }; }
gone() { [ ! -e "$work/f/$1" ] && [ ! -L "$work/f/$1" ] || { detail="$1 is still there"; return 1; }; }
ends_within() { wait_until "$1" ended || { detail="still running $1 s after $2"; return 1; }; }
list_is() { local got; got=$(entries); [ "$got" = "$(printf '%s\n' "$@")" ] || { detail="list: ${got//$'\n'/ }"; return 1; }; }

# --- rows ---
row_start() { # title, size, centred with its frame on the 1024x768 screen
    start && sleep 1 || return 1
    local x y w h l r t b
    x=$(info "$win" 'Absolute upper-left X') y=$(info "$win" 'Absolute upper-left Y')
    w=$(info "$win" Width) h=$(info "$win" Height)
    read -r l r t b <<<"$(xprop -id "$win" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')"
    detail="'$(xdotool getwindowname "$win")' ${w}x${h}, frame at $((x - l)),$((y - t))"
    [ "$(xdotool getwindowname "$win")" = 'Quellon v 1.0' ] && [ "$w.$h" = 539.416 ] &&
        [ $((x - l)) = $(((1024 - w - l - r) / 2)) ] && [ $((y - t)) = $(((768 - h - t - b) / 2)) ]
}
row_close_idle() { start && close_request && ends_within 5 "the request"; }
row_add_typed() { local f; f=$(file typed 1000); start && add "$f" && list_is "$f" && kept typed; }
row_remove_and_clear() { # "&Remove..." with nothing selected, then on the second entry; "Clear"
    local a b
    a=$(file a 100) b=$(file b 100)
    start && add "$a" "$b" && keys "$win" alt+r && box 'Nothing to delete.' && has "Select something to delete." &&
        answer "$box" && list_is "$a" "$b" && click "$win" 260 48 && keys "$win" Down alt+r && list_is "$a" || return 1
    add "$b" && click "$win" 261 196 && list_is && kept a && kept b
}
wipe_failing_middle() { # a, a read-only file, c; $1=1: "Clear List when done." ticked
    local a ro c
    a=$(file a 3000) ro=$(file ro 3000) c=$(file c 3000)
    chmod 444 "$ro"
    start && add "$a" "$ro" "$c" || return 1
    [ "$1" = 1 ] && click "$win" 30 156
    keys "$win" alt+w
    box ERROR && has "$ro" || return 1
    shown DONE && { detail="the closing box came before the error box was answered"; return 1; }
    answer "$box"
    box DONE && has "2 of 3 File(s) have been wiped.

This entry was not wiped; its error report said why:
$ro" && answer "$box" && gone a && gone c && kept ro || return 1
    if [ "$1" = 1 ]; then has "taken off the list" && list_is "$ro"; else list_is "$a" "$ro" "$c"; fi
}
row_wipe_failing_middle() { wipe_failing_middle 0; }
row_wipe_failing_middle_cleared() { wipe_failing_middle 1; }
row_cancel() { # Escape in the progress dialog after one entry was wiped, the list to be cleared
    local first big small
    first=$(file first 1000) big=$(file big $((64 << 20))) small=$(file small 1000)
    start && add "$first" "$big" "$small" && click "$win" 30 156 && keys "$win" alt+w || return 1
    local dialog
    dialog=$(find_box Quellon 10 -progress) || { detail="no progress dialog"; return 1; }
    keys "$dialog" Escape
    box Quellon 60 && answer "$box" && has "Wiping was cancelled.

1 of 3 File(s) have been wiped." && has "passes) and was not deleted:
$big

1 entry after it was not reached.

The wiped entries were taken off the list" && gone first && ! cmp -s "$big" "$work/big.copy" && kept small && list_is "$big" "$small"
}
row_link_and_target() { # a link and its target both queued: one wipe, both count as wiped
    local target
    target=$(file target 1000)
    ln -s "$target" "$work/f/link"
    start && add "$work/f/link" "$target" && keys "$win" alt+w && box DONE 30 && answer "$box" &&
        has "All File(s) have been wiped." && gone target && gone link
}
row_close_during_progress() { # the run goes on to its closing box, then the program ends
    local p1 p2
    p1=$(file p1 $((12 << 20))) p2=$(file p2 $((12 << 20)))
    file not-queued 1000 >/dev/null
    start && add "$p1" "$p2" && keys "$win" alt+w || return 1
    find_box Quellon 10 -progress >/dev/null || { detail="no progress dialog"; return 1; }
    close_request && sleep 0.5 && running || { detail="ended before the run did"; return 1; }
    box DONE 120 && has "All File(s) have been wiped." && answer "$box" && ends_within 5 "the closing box" &&
        gone p1 && gone p2 && kept not-queued
}
row_close_during_error_box() { # the run goes on past the error box to its closing box, then ends
    local ro c
    ro=$(file ro 1000) c=$(file c 1000)
    file not-queued 1000 >/dev/null
    chmod 444 "$ro"
    start && add "$ro" "$c" && keys "$win" alt+w && box ERROR || return 1
    close_request && sleep 0.5 && running || { detail="ended with the error box up"; return 1; }
    answer "$box" && box DONE 30 && has "1 of 2 File(s) have been wiped." && answer "$box" &&
        ends_within 5 "the closing box" && gone c && kept ro && kept not-queued
}
row_quit_no_then_yes() {
    start && keys "$win" alt+q && box Quellon && has "Are you sure you want to quit?" && answer "$box" Escape &&
        sleep 1 && running && keys "$win" alt+q && box Quellon && answer "$box" && ends_within 5 "Yes"
}
row_close_during_quit_question() { start && keys "$win" alt+q && box Quellon && close_request && ends_within 5 "the request"; }
row_close_during_add_dialog() {
    start && click "$win" 213 164 && wait_until 15 shown 'File Explorer' && close_request && ends_within 5 "the request"
}

rows=(start close_idle add_typed remove_and_clear wipe_failing_middle wipe_failing_middle_cleared cancel link_and_target
    close_during_progress close_during_error_box quit_no_then_yes close_during_quit_question close_during_add_dialog)
[ $# -gt 0 ] && rows=("$@")
passed=0 failed=0 table=()
for row in "${rows[@]}"; do
    detail='' text='' t0=$SECONDS
    if "row_$row"; then result=PASS; passed=$((passed + 1)); else result=FAIL; failed=$((failed + 1)); fi
    [ -n "$qpid" ] && { kill -9 "$qpid" 2>/dev/null; wait "$qpid" 2>/dev/null; qpid=''; }
    chmod -R u+w "$work/f" && rm -rf "${work:?}"/f/* "$work"/*.copy
    table+=("$(printf '%-28s %s %3ss  %s' "$row" $result $((SECONDS - t0)) "${detail:0:100}")")
    echo "${table[-1]}"
done
printf '\ndesktop suite, Xvfb + openbox + xcb, %s s:\n' $SECONDS
printf '%s\n' "${table[@]}"
echo "desktop: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
