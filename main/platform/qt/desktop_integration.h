// Linux desktop stand-ins: XDG autostart ("Start at login"), the
// kestrelixremote: URL handler, the settings folder and the self-relaunch.
#pragma once

#include <QString>
#include <QStringList>

#include "runtime/error.h"

namespace kx {

// "$XDG_DATA_HOME/Kestrelix Remote Test" (default ~/.local/share), created
// with mode 0700.
Expected<QString> createSettingsFolder();

// Writes "$XDG_CONFIG_HOME/autostart/kestrelix-remote.desktop" starting `executable`.
Status writeAutostartEntry(const QString& executable);

// Registers `executable` as the handler of kestrelixremote: URLs: a desktop
// entry with MimeType x-scheme-handler/kestrelixremote, made the default in
// mimeapps.list. Does nothing for an installed copy, whose package's desktop
// entry already handles the scheme.
Status registerUrlHandler(const QString& executable);

// Starts "/bin/sh -c SCRIPT kestrelix-relaunch PID EXECUTABLE" detached. The
// script waits (up to 20 × 0.5 s) for this process to exit, then execs the
// executable.
Status launchRelaunchScript(qint64 pid, const QString& executable);

QString relaunchScript();

}  // namespace kx
