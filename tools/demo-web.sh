#!/usr/bin/env bash
# The support session with the technician in a browser: the local kx-service
# serves the console to Debian's chromium (headless), the agent shares a
# virtual display. Prints the figures and, last, one JSON line with the same
# keys as the native demo's plus "console": "web".
set -euo pipefail
ROOT=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
exec node "$ROOT/tests/browser/console_session.mjs" --build "$ROOT/build" --demo
