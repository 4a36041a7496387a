#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes docs/screenshot.png: starts Quellon on a virtual X server (Xvfb), queues three files made
# for the purpose in a new folder through "Add..." as a user would, and saves the window with
# ImageMagick's import. Nothing is wiped: the script quits Quellon before that. Needs xvfb, xauth,
# xdotool and imagemagick (Debian package names).
#
#   sh docs/make-screenshot.sh [PATH-TO-QUELLON]     (default: build/app/quellon, see ./dev.sh run)
set -eu
cd "$(dirname "$0")/.."

quellon=$(realpath "${1:-build/app/quellon}")
[ -x "$quellon" ] || { echo "no program at $quellon: build it with ./dev.sh run first" >&2; exit 1; }
out=$PWD/docs/screenshot.png

# The queued paths show in the picture, so they live in a folder with a short fixed name.
demo=/tmp/quellon-demo
mkdir "$demo" || { echo "$demo exists; remove it first" >&2; exit 1; }
runtime=$(mktemp -d)
trap 'rm -rf "$demo" "$runtime"' EXIT
for f in tax-return-2025.pdf old-passwords.kdbx interview-notes.odt; do
    head -c 4096 /dev/urandom >"$demo/$f"
done

cat >"$runtime/shoot" <<'EOF'
set -eu
"$QUELLON" &
pid=$!
win=$(timeout 30 xdotool search --sync --onlyvisible --name '^Quellon v 1\.0$' | head -n 1)
# The queue has the focus at the start; two tabs on, "Add...", which keeps it after each dialog.
xdotool windowfocus --sync "$win" key Tab Tab
for f in tax-return-2025.pdf old-passwords.kdbx interview-notes.odt; do
    xdotool windowfocus --sync "$win" key space
    dialog=$(timeout 30 xdotool search --sync --onlyvisible --name '^File Explorer$' | head -n 1)
    xdotool windowfocus --sync "$dialog"
    sleep 0.5
    xdotool type --delay 20 "$DEMO/$f"
    xdotool key Return
    timeout 30 sh -c "while xdotool search --onlyvisible --name '^File Explorer\$' >/dev/null; do sleep 0.2; done"
done
sleep 1
import -window "$win" "$OUT"
kill "$pid"
EOF
export QUELLON="$quellon" DEMO="$demo" OUT="$out" XDG_RUNTIME_DIR="$runtime"
chmod 700 "$runtime"
xvfb-run -a -s '-screen 0 1024x768x24' sh "$runtime/shoot"
echo "wrote $out"
