#!/usr/bin/env bash
# A whole support session on this machine, driven through the real windows
# the way the two people would: the local kx-service, an agent copy of
# kestrelix-remote sharing one X display, a console copy on another.
#
#   tools/demo.sh                 run it unattended and print what happened
#   tools/demo.sh --interactive   start the service and both copies on $DISPLAY and leave them open
#   tools/demo.sh --web           the technician in a browser instead (tools/demo-web.sh)
set -euo pipefail

ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
[ "${1:-}" = "--web" ] && exec "$ROOT/tools/demo-web.sh"
BIN=$ROOT/build/bin
OUT=$ROOT/build/demo
CA=$ROOT/build/local-service  # the CA local builds trust, shared with the browser session
SERVICE_DATA=$OUT/service
TECHNICIAN=demo
PASSWORD=demo-password-$RANDOM$RANDOM
MODE=auto
[ "${1:-}" = "--interactive" ] && MODE=interactive

PIDS=()
cleanup() {
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '\033[1m== %s\033[0m\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }
now() { date +%s.%N; }

# poll SECONDS COMMAND...: true as soon as COMMAND succeeds (checked every 0.1 s), false at the deadline.
poll() {
  local end=$(( $(date +%s) + $1 )); shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.1
  done
}
# wait_for SECONDS DESCRIPTION COMMAND...
wait_for() {
  local seconds=$1 what=$2; shift 2
  poll "$seconds" "$@" || fail "timed out waiting for $what"
}

# start_xvfb VARIABLE GEOMETRY: the server picks a free display number itself
# (-displayfd), so runs side by side never take the same one.
start_xvfb() {
  local file=$OUT/xvfb-$1
  Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp 3>"$file" >/dev/null 2>&1 &
  PIDS+=($!)
  wait_for 10 "a virtual display for $1" grep -q '[0-9]' "$file"
  printf -v "$1" '%s' "$(head -n 1 "$file")"
}

status_field() {  # agent status file key
  sed -n "s/.*\"$1\":\"\\{0,1\\}\\([^,\"}]*\\).*/\\1/p" "$OUT/agent/data/Kestrelix Remote Test/client-status.json" 2>/dev/null
}

window() {  # display name-regex → newest matching window id
  DISPLAY=$1 xdotool search --name "$2" 2>/dev/null | tail -n 1
}

# Each copy lists its visible widgets in $OUT/ROLE/widgets.tsv (KX_WIDGET_MAP):
# object name, accessible name, x, y, width, height, enabled. Widgets are found
# by either name, never by where a font or theme happens to put them.
widget() {  # role name → "x y width height enabled" of the first match
  awk -F'\t' -v n="$2" '$1 == n || $2 == n { print $3, $4, $5, $6, $7; exit }' "$OUT/$1/widgets.tsv" 2>/dev/null
}
shown() { [ -n "$(widget "$1" "$2")" ]; }
enabled() { [ "$(widget "$1" "$2" | cut -d' ' -f5)" = 1 ]; }
text_of() {  # role object-name → the widget's accessible name (a label's text)
  awk -F'\t' -v n="$2" '$1 == n { print $2; exit }' "$OUT/$1/widgets.tsv" 2>/dev/null
}
display_of() { if [ "$1" = agent ]; then echo "$A"; else echo "$C"; fi; }
# The consent prompt and the display picker default to refusing and take no
# choice in their first second: their buttons show disabled until then, so a
# click waits for the button to be enabled and names the granting one.
click() {  # role name: a real pointer click in the middle of the widget
  wait_for 20 "\"$2\" to show" shown "$1" "$2"
  wait_for 20 "\"$2\" to take a choice" enabled "$1" "$2"
  local x y w h
  read -r x y w h _ <<<"$(widget "$1" "$2")"
  DISPLAY=$(display_of "$1") xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 1
}

for tool in Xvfb xdotool xclip xev import curl; do
  command -v "$tool" >/dev/null || fail "$tool is missing (./kx build installs it)"
done

rm -rf "$OUT"
mkdir -p "$OUT/agent" "$OUT/console" "$OUT/screenshots"
"$BIN/kx-service" certificates --data "$CA" >/dev/null || fail "cannot make the local CA in $CA"

say "support service"
# A short consent lease, so the third session can end by expiry.
CONSENT_SECONDS=20
"$BIN/kx-service" serve --data "$SERVICE_DATA" --cert "$CA/server.pem" --key "$CA/server-key.pem" \
  --listen 127.0.0.1:8443 --consent-seconds "$CONSENT_SECONDS" >"$OUT/service.log" 2>&1 &
PIDS+=($!)
wait_for 15 "kx-service to listen on 127.0.0.1:8443 (is the port free?)" grep -q "listening" "$OUT/service.log"
printf '%s\n' "$PASSWORD" | "$BIN/kx-service" technician add "$TECHNICIAN" --data "$SERVICE_DATA" >/dev/null

if [ "$MODE" = interactive ] && [ -n "${DISPLAY:-}" ]; then
  AGENT_DISPLAY=${DISPLAY#:}
  CONSOLE_DISPLAY=${DISPLAY#:}
else
  start_xvfb AGENT_DISPLAY 1440x900x24
  start_xvfb CONSOLE_DISPLAY 1600x1000x24
fi

# Each copy gets its own home (settings, single-instance socket), as two
# computers would.
run_copy() {  # role display
  local role=$1 display=$2 dir=$OUT/$1
  (
    cd "$dir"
    export DISPLAY=":$display" TMPDIR="$dir" XDG_DATA_HOME="$dir/data" XDG_CONFIG_HOME="$dir/config" \
      XDG_RUNTIME_DIR="$dir/runtime" KX_WIDGET_MAP="$dir/widgets.tsv"
    mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
    if [ "$role" = console ]; then
      export BROWSER="$ROOT/tools/demo-browser.sh" KX_DEMO_CA="$CA/ca.pem" \
        KX_DEMO_USER="$TECHNICIAN" KX_DEMO_PASSWORD="$PASSWORD" KX_DEMO_APP="$BIN/kestrelix-remote"
    fi
    exec "$BIN/kestrelix-remote"
  ) >"$dir/out.txt" 2>"$dir/err.txt" &
  LAST_PID=$!
  PIDS+=($LAST_PID)
}

stop_copy() {  # pid: SIGTERM, then wait until it has quit
  kill -TERM "$1" 2>/dev/null || return 0
  gone() { ! kill -0 "$1"; }
  if ! (wait_for 15 "kestrelix-remote to quit" gone "$1"); then
    command -v gdb >/dev/null && gdb -p "$1" -batch -ex "thread apply all bt" >"$OUT/hang-$1.txt" 2>&1
    fail "kestrelix-remote ($1) did not quit; stacks in $OUT/hang-$1.txt"
  fi
}

say "agent on :$AGENT_DISPLAY, console on :$CONSOLE_DISPLAY"
run_copy agent "$AGENT_DISPLAY"
AGENT_PID=$LAST_PID
if [ "$CONSOLE_DISPLAY" != "$AGENT_DISPLAY" ]; then
  run_copy console "$CONSOLE_DISPLAY"
  CONSOLE_PID=$LAST_PID
fi

if [ "$MODE" = interactive ]; then
  say "technician: $TECHNICIAN, password: $PASSWORD (the portal opens in your browser)"
  say "both copies are running; press Ctrl-C to stop"
  wait
  exit 0
fi

A=":$AGENT_DISPLAY"
C=":$CONSOLE_DISPLAY"
CONSOLE_TITLE="Kestrelix Remote — Technician"
wait_for 20 "the agent's setup window" shown agent setupCode
wait_for 20 "the console copy's menu window" shown console "Technician console…"

say "technician opens the console and signs in through the portal"
click console "Technician console…"
wait_for 10 "the console window" shown console "$CONSOLE_TITLE"
# Clear of the menu window, whose buttons would otherwise lie under it.
DISPLAY=$C xdotool windowmove "$(window "$C" "Technician$")" 420 0
moved() { [ "$(widget console "$CONSOLE_TITLE" | cut -d' ' -f1)" -ge 420 ]; }
wait_for 10 "the console window to move" moved
click console "Technician sign in"
# The browser hands the callback to a second copy, which gives it to the first and exits.
signed_in() { [ "$(text_of console identity)" = "$TECHNICIAN" ]; }
wait_for 20 "the technician to be signed in" signed_in

say "technician creates a setup code"
DISPLAY=$C xclip -selection clipboard -i /dev/null
click console "Create setup code"
click console "Copy code"
clipboard_code() { DISPLAY=$C xclip -o -selection clipboard 2>/dev/null | grep -qE '^[0-9A-F]{20}$'; }
wait_for 10 "the setup code on the clipboard" clipboard_code
CODE=$(DISPLAY=$C xclip -o -selection clipboard)
echo "setup code $CODE"

say "the person at the shared computer enrolls it with the code"
click agent setupCode
DISPLAY=$A xdotool type --delay 15 "${CODE:0:5}-${CODE:5:5} ${CODE:10:5}-${CODE:15:5}"
click agent "Enroll this computer"
registered() { grep -q '"device"' "$OUT/agent/data/Kestrelix Remote Test/enrollment.json" && [ -z "$(status_field registrationError)" ]; }
wait_for 20 "registration" registered
DISPLAY=$A xdotool windowunmap "$(window "$A" "Set up this computer")" || true

# An X client on the shared display that reports the input it receives.
DISPLAY=$A xev -geometry 1000x700+420+180 -event button -event keyboard >"$OUT/observed-input.txt" 2>&1 &
PIDS+=($!)

# The device is listed online once the agent has polled: refresh until it is.
refreshed_online() {
  enabled console "Request access" && return 0
  click console "Refresh devices"
  poll 2 enabled console "Request access"
}
streaming() { [ "$(status_field captureState)" = streaming ]; }
connected() { [ "$(status_field rtcState)" = connected ]; }
ended() { [ "$(status_field captureState)" = idle ] && [ "$(status_field rtcState)" = idle ]; }
console_idle() { ! enabled console "End session"; }

# Requests access and lets the person approve and share.
start_session() {
  wait_for 30 "the device to be listed online" refreshed_online
  click console "Request access"
  wait_for 20 "the consent alert" shown agent Approve
  [ -n "${APPROVED_AT:-}" ] || APPROVED_AT=$(now)  # the first session's, for the time to first frame
  click agent Approve
  click agent "Share"
  wait_for 30 "the capture to stream" streaming
  wait_for 30 "the real-time connection" connected
  agent_timeline >> "$OUT/agent-timelines.jsonl"
}
agent_timeline() {
  node -e 'console.log(JSON.stringify(JSON.parse(require("fs").readFileSync(process.argv[1])).sessionTimeline || []))' \
    "$OUT/agent/data/Kestrelix Remote Test/client-status.json"
}

say "technician requests access; the person approves and picks the display"
start_session
frames_flowing() { [ "$(status_field capturedFrames)" -gt 0 ] 2>/dev/null; }
wait_for 20 "the first captured frame" frames_flowing
FIRST_FRAME_AT=$(now)
FIRST_FRAMES=$(status_field capturedFrames)
control_ready() { [[ "$(text_of console status)" == "Connected · Live video and control ready" ]]; }
wait_for 20 "control to be ready at the console" control_ready
AGENT_TIMELINE=$(agent_timeline)

say "technician clicks and types on the live picture"
click console video
click_seen() { grep -aq '^ButtonPress' "$OUT/observed-input.txt"; }
wait_for 10 "the click on the shared display" click_seen
DISPLAY=$C xdotool type --delay 50 k
input_seen() { grep -aq "keysym 0x6b, k" "$OUT/observed-input.txt"; }
wait_for 10 "the typed key on the shared display" input_seen
round_trip() { [[ "$(text_of console measurement)" == "Input round trip: "* ]]; }
wait_for 20 "an input round trip at the console" round_trip
DISPLAY=$C import -window "$(window "$C" "Technician$")" "$OUT/screenshots/console-window.png"
DISPLAY=$A import -window root "$OUT/screenshots/shared-display.png"

FRAMES_CAPTURED=$(status_field capturedFrames)
FRAMES_COUNTED_AT=$(now)
say "technician ends the session"
click console "End session"
wait_for 15 "the agent to end the session" ended
wait_for 15 "the console to see the end" console_idle

say "a second session, ended by the person at the shared computer"
start_session
click agent "End current session"
wait_for 15 "the agent to end the session" ended
wait_for 15 "the console to see the end" console_idle

say "a third session, ended by the consent lease (${CONSENT_SECONDS} s in this demo)"
start_session
LEASE_STARTED=$(now)
wait_for $((CONSENT_SECONDS + 15)) "the consent lease to end the session" ended
LEASE_ENDED=$(now)
wait_for 15 "the console to see the end" console_idle

stop_copy "$CONSOLE_PID"
stop_copy "$AGENT_PID"

SUMMARY=$(sed -n 's/^console //p' "$OUT/console/out.txt" | tail -n 1)
[ -n "$SUMMARY" ] || fail "the console printed no summary"
CLICK=$(grep -a -A1 '^ButtonPress' "$OUT/observed-input.txt" | sed -n 's/.*root:(\([0-9]*\),\([0-9]*\)).*/\1,\2/p' | head -n 1)
[ -n "$CLICK" ] || fail "no click arrived on the shared display"

node -e '
const s = JSON.parse(process.argv[1]);
const approved = Number(process.argv[2]);
const seconds = Number(process.argv[6]) - Number(process.argv[5]);
const fps = seconds > 0 ? Number(process.argv[4]) / seconds : 0;
const rtt = /Input round trip: (\d+) ms/.exec(s.measurement);
const out = {
  approval_to_first_frame_s: +(s.firstFrameTime - approved).toFixed(2),
  frames_received: s.framesShown,
  frame_rate_fps: +fps.toFixed(1),
  input_round_trip_ms: rtt ? Number(rtt[1]) : null,
  console_measurement: s.measurement,
  console_status_after_end: s.status,
  click_observed_at: process.argv[3],
  key_observed: "k",
};
console.log("time from approval to first frame: " + out.approval_to_first_frame_s + " s");
console.log("frames received at the console over the three sessions: " + out.frames_received);
console.log("frame rate of the first session on the shared computer: " + out.frame_rate_fps + " frames per second");
console.log("console status after the last session: " + s.status);
console.log("input round trip as the console shows it: " + s.measurement);
console.log("injected click observed on the shared display at " + out.click_observed_at + ", typed key observed: k");
console.log(JSON.stringify(out));
if (!(s.framesShown > 10) || !rtt) process.exit(1);
' "$SUMMARY" "$APPROVED_AT" "$CLICK" "$((FRAMES_CAPTURED - ${FIRST_FRAMES:-0}))" "$FIRST_FRAME_AT" "$FRAMES_COUNTED_AT" || fail "the session figures are incomplete: $SUMMARY"
echo "frames handed to the encoder on the shared computer: $FRAMES_CAPTURED"
echo "third session ended by its consent lease $(node -e "console.log((process.argv[2]-process.argv[1]).toFixed(1))" "$LEASE_STARTED" "$LEASE_ENDED") s after streaming began"
node "$ROOT/tools/session-timeline.js" "$AGENT_TIMELINE" "$SUMMARY" "$OUT/agent-timelines.jsonl"
echo "screenshots: $OUT/screenshots/"
say "audit trail of the demo's sessions, newest first"
"$BIN/kx-service" audit --technician "$TECHNICIAN" --data "$SERVICE_DATA" |
  grep -E '"event":"(access-request|decision|session-start|session-end)"' || fail "the audit log holds no session"
say "demo finished: a whole support session ran"
