# SPDX-License-Identifier: GPL-3.0-or-later
# A private X display for running svw as a user would, sourced by
# scripts/smoke-xvfb and the install test. Needs Xvfb, openbox, xdotool, xprop
# and ImageMagick (scripts/install-deps).
#
# Every process started here is a child of the calling shell and is ended and
# waited for by x_stop_all, which callers run from an EXIT trap: on machines where
# PID 1 does not reap orphans nothing may be left behind.

x_pids=()

# x_track PID: end PID in x_stop_all (latest first).
x_track() {
    x_pids+=("$1")
}

# x_has_ended PID: whether the child PID has ended (it may still wait to be
# reaped, so kill -0 would still find it).
x_has_ended() {
    [ ! -e "/proc/$1" ] || grep -q '^[0-9]* (.*) [ZX] ' "/proc/$1/stat" 2>/dev/null
}

x_stop_all() {
    local i pid
    for ((i = ${#x_pids[@]} - 1; i >= 0; i--)); do
        pid=${x_pids[i]}
        if ! x_has_ended "$pid"; then
            kill -TERM "$pid" 2>/dev/null || true
            x_wait_for 5 x_has_ended "$pid" || kill -KILL "$pid" 2>/dev/null || true
        fi
        wait "$pid" 2>/dev/null || true
    done
    x_pids=()
}

# x_wait_for SECONDS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds; fails after SECONDS.
x_wait_for() {
    local tries=$(($1 * 10))
    shift
    for ((; tries > 0; tries--)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# x_start_display WORKDIR [WIDTHxHEIGHT]: starts Xvfb on a free display number,
# which the server chooses itself, and exports DISPLAY.
x_start_display() {
    local work=$1 size=${2:-1024x768}
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp -noreset \
        3>"$work/display" >"$work/xvfb.log" 2>&1 &
    x_track $!
    # The server writes the number once it accepts connections.
    if ! x_wait_for 15 grep -q '[0-9]' "$work/display"; then
        echo "x-session: Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        return 1
    fi
    DISPLAY=":$(tr -dc 0-9 <"$work/display")"
    export DISPLAY
}

# x_start_window_manager WORKDIR: starts openbox and waits until it manages the
# screen.
x_start_window_manager() {
    local work=$1
    openbox --sm-disable >"$work/openbox.log" 2>&1 &
    x_track $!
    if ! x_wait_for 15 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'; then
        echo "x-session: openbox did not start:" >&2
        cat "$work/openbox.log" >&2
        return 1
    fi
}

# x_window_of PID TITLE: prints the visible top-level window of PID with exactly
# that title, waiting up to 20 s for it.
x_window_of() {
    local pid=$1 title=$2 found=""
    for _ in $(seq 200); do
        found=$(xdotool search --all --onlyvisible --pid "$pid" --name "^${title}\$" 2>/dev/null | head -n1)
        [ -n "$found" ] && break
        sleep 0.1
    done
    [ -n "$found" ] || return 1
    echo "$found"
}

# x_count_windows PID: how many visible top-level windows PID has.
x_count_windows() {
    xdotool search --all --onlyvisible --pid "$1" --name '.*' 2>/dev/null | wc -l
}

# x_menu_bar_height WINDOW: the height of the window's menu bar in pixels, seen
# on the window itself: the first row, down the left margin, that differs from
# the menu bar's own colour is the top edge of what lies under it.
x_menu_bar_height() {
    local row=0 colour first=""
    while read -r colour; do
        if [ -z "$first" ]; then
            first=$colour
        elif [ "$colour" != "$first" ]; then
            echo "$row"
            return 0
        fi
        row=$((row + 1))
    done < <(import -window "$1" png:- | convert png:- -crop 1x80+4+0 +repage -depth 8 txt:- |
        sed -n 's/^0,[0-9]*: *\(([^)]*)\).*/\1/p')
    return 1
}

# x_rightmost_menu_item_x WINDOW MENU_BAR_HEIGHT: an x inside the caption of the
# last menu bar item: the rightmost column of the bar that holds any text.
x_rightmost_menu_item_x() {
    local window=$1 height=$2 width
    width=$(xdotool getwindowgeometry "$window" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
    import -window "$window" png:- |
        convert png:- -crop "${width}x$((height - 4))+0+2" +repage -colorspace gray \
            -scale "${width}x1!" -depth 8 txt:- |
        sed -n 's/^\([0-9]*\),0: *(\([0-9]*\).*/\1 \2/p' |
        awk 'NR == 1 { background = $2 }
             $2 < background - 8 { last = $1 }
             END { if (last == "") exit 1; print last - 6 }'
}

# x_click WINDOW X Y: a left click at X, Y inside WINDOW, as the mouse gives it.
x_click() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
    sleep 0.2
}

# x_type TEXT: types TEXT on the keyboard into whatever has the focus.
x_type() {
    xdotool type --delay 15 -- "$1"
    sleep 0.2
}

# driver_encoded TEXT: TEXT as the test driver reports it (percent-encoded
# UTF-8, unreserved characters as they are).
driver_encoded() {
    local text=$1 out="" c i
    local LC_ALL=C
    for ((i = 0; i < ${#text}; i++)); do
        c=${text:i:1}
        case $c in
        [A-Za-z0-9._~-]) out+=$c ;;
        *) out+=$(printf '%%%02X' "'$c") ;;
        esac
    done
    printf '%s' "$out"
}
