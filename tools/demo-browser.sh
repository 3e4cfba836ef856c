#!/usr/bin/env bash
# The "browser" of the demo: loads the portal's sign-in page, submits the
# technician's name and password like a person would, and hands the
# kestrelixremote: URL the portal redirects to to the app, as a desktop does.
# Environment: KX_DEMO_CA, KX_DEMO_USER, KX_DEMO_PASSWORD, KX_DEMO_APP.
set -euo pipefail
url=$1
page=$(curl -sS --fail --cacert "$KX_DEMO_CA" "$url")
field() { sed -n "s/.*name=\"$1\" value=\"\([^\"]*\)\".*/\1/p" <<<"$page" | head -n 1; }
challenge=$(field challenge)
state=$(field state)
origin=$(sed -E 's#^(https://[^/]+).*#\1#' <<<"$url")
location=$(curl -sS --cacert "$KX_DEMO_CA" -o /dev/null -w '%{redirect_url}' \
  --data-urlencode "name=$KX_DEMO_USER" --data-urlencode "password=$KX_DEMO_PASSWORD" \
  --data-urlencode "challenge=$challenge" --data-urlencode "state=$state" "$origin/native-sign-in")
case "$location" in
  kestrelixremote://*) exec "$KX_DEMO_APP" "$location" ;;
  *) echo "demo-browser: the portal did not sign in (redirect: '$location')" >&2; exit 1 ;;
esac
