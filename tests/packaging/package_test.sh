#!/usr/bin/env bash
# What a machine installing the packages gets: the files in their places, the
# dependencies, no build-folder CA, a unit systemd accepts, a config the
# installed service reads, and no lintian errors (./kx package runs lintian).
set -euo pipefail
SRC=$1
ROOT=$(mktemp -d)
trap 'rm -rf "$ROOT"' EXIT
failures=0
fail() { printf 'FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }

KX_JOBS=${KX_JOBS:-2} "$SRC/kx" package
APP=$(ls "$SRC"/build-package/debs/kestrelix-remote_*.deb)
SERVICE=$(ls "$SRC"/build-package/debs/kx-service_*.deb)

# Dependencies: from the linked libraries, plus what the code asks for by name.
field() { dpkg-deb -f "$1" "$2"; }
for want in libc6 libqt6widgets6 libgstreamer1.0-0 libssl3 libcurl4 gstreamer1.0-plugins-bad gstreamer1.0-libav; do
  field "$APP" Depends | grep -q "$want" || fail "kestrelix-remote does not depend on $want"
done
for want in libc6 libsqlite3-0 libssl3 adduser; do
  field "$SERVICE" Depends | grep -q "$want" || fail "kx-service does not depend on $want"
done
dpkg-deb -I "$SERVICE" conffiles | grep -qx /etc/kx-service/kx-service.conf || fail "the config is not a conffile"

# An empty dpkg database is enough to unpack into (no chroot, no scripts run).
mkdir -p "$ROOT/var/lib/dpkg/info" "$ROOT/var/lib/dpkg/updates"
touch "$ROOT/var/lib/dpkg/status" "$ROOT/var/lib/dpkg/available"
dpkg --root="$ROOT" --force-depends --force-not-root --unpack "$APP" "$SERVICE" >/dev/null

# Unpacked but not configured, dpkg keeps a conffile aside as .dpkg-new.
CONFIG=$ROOT/etc/kx-service/kx-service.conf.dpkg-new
for path in usr/bin/kestrelix-remote usr/share/applications/kestrelix-remote.desktop \
            usr/share/icons/hicolor/scalable/apps/kestrelix-remote.svg usr/sbin/kx-service \
            lib/systemd/system/kx-service.service etc/kx-service/kx-service.conf.dpkg-new \
            usr/share/kx-service/console/index.html; do
  [ -e "$ROOT/$path" ] || fail "/$path is not installed"
done
grep -qx 'MimeType=x-scheme-handler/kestrelixremote;' "$ROOT/usr/share/applications/kestrelix-remote.desktop" ||
  fail "the desktop entry does not handle kestrelixremote: URLs"
if grep -q 'local-service/ca.pem' "$ROOT/usr/bin/kestrelix-remote"; then fail "the app trusts a build-folder CA"; fi
dpkg-deb -c "$APP" | grep -q 'VERSION$' && fail "a build-folder VERSION file is packaged"

# The unit as systemd reads it, run against the unpacked binary.
sed "s#/usr/sbin/kx-service#$ROOT/usr/sbin/kx-service#" "$ROOT/lib/systemd/system/kx-service.service" \
  > "$ROOT/kx-service.service"
verify=$(systemd-analyze verify --man=no "$ROOT/kx-service.service" 2>&1) || fail "systemd-analyze: $verify"
[ -z "$verify" ] || fail "systemd-analyze: $verify"
for option in NoNewPrivileges=yes ProtectSystem=strict PrivateTmp=yes User=kx-service StateDirectory=kx-service; do
  grep -qx "$option" "$ROOT/kx-service.service" || fail "the unit lacks $option"
done

# The administration commands work on the state the config names. The config
# is the packaged one with only its data folder moved into the throwaway root.
sed "s#^data = .*#data = $ROOT/var/lib/kx-service#" "$CONFIG" > "$ROOT/kx.conf"
echo "a long enough password" | "$ROOT/usr/sbin/kx-service" technician add alice --config "$ROOT/kx.conf" >/dev/null ||
  fail "technician add with the config"
[ -s "$ROOT/var/lib/kx-service/service.db" ] || fail "the config's data folder holds no database"
code=$("$ROOT/usr/sbin/kx-service" setup-code --technician alice --config "$ROOT/kx.conf") ||
  fail "setup-code with the config"
[[ $code =~ ^[0-9A-F]{20}$ ]] || fail "setup-code printed '$code'"
[ "$failures" -eq 0 ] && echo "packages ok: $(basename "$APP") $(basename "$SERVICE")"
exit $((failures > 0))
