#include "platform/qt/desktop_integration.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <sys/stat.h>

namespace kx {
namespace {

QString xdgHome(const char* variable, const QString& fallback) {
  const QString value = qEnvironmentVariable(variable);
  return value.startsWith('/') ? value : QDir::homePath() + "/" + fallback;
}

Status writeText(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
    return makeError("File", 1, ("Cannot write " + path + ": " + file.errorString()).toStdString());
  }
  return {};
}

// Desktop entry Exec fields quote arguments with double quotes.
QString quoteExec(const QString& path) {
  QString escaped = path;
  escaped.replace("\\", "\\\\").replace("\"", "\\\"").replace("`", "\\`").replace("$", "\\$");
  return "\"" + escaped + "\"";
}

}  // namespace

Expected<QString> createSettingsFolder() {
  const QString folder = xdgHome("XDG_DATA_HOME", ".local/share") + "/Kestrelix Remote Test";
  if (!QDir().mkpath(folder)) return makeError("File", 1, ("Cannot create " + folder).toStdString());
  if (chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
    return makeError("File", errno, ("Cannot protect " + folder).toStdString());
  }
  return folder;
}

Status writeAutostartEntry(const QString& executable) {
  const QString path = xdgHome("XDG_CONFIG_HOME", ".config") + "/autostart/kestrelix-remote.desktop";
  const QByteArray entry =
      "[Desktop Entry]\nType=Application\nName=Kestrelix Remote Test\nExec=" + quoteExec(executable).toUtf8() +
      "\nX-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  return writeText(path, entry);
}

Status registerUrlHandler(const QString& executable) {
  // An installed copy's package registers the handler system-wide (its desktop
  // entry names the scheme): nothing to write into the home folder then.
  if (QFile::exists(QFileInfo(executable).absolutePath() + "/../share/applications/kestrelix-remote.desktop")) {
    return {};
  }
  const QString apps = xdgHome("XDG_DATA_HOME", ".local/share") + "/applications";
  const QByteArray entry = "[Desktop Entry]\nType=Application\nName=Kestrelix Remote Test\nExec=" +
                           quoteExec(executable).toUtf8() +
                           " %u\nMimeType=x-scheme-handler/kestrelixremote;\nNoDisplay=true\n";
  if (auto st = writeText(apps + "/kestrelix-remote.desktop", entry); !st) return st;

  // Make it the default handler: keep every other line of mimeapps.list.
  const QString listPath = xdgHome("XDG_CONFIG_HOME", ".config") + "/mimeapps.list";
  QStringList lines;
  if (QFile in(listPath); in.open(QIODevice::ReadOnly)) lines = QString::fromUtf8(in.readAll()).split('\n');
  lines.removeIf([](const QString& l) { return l.startsWith("x-scheme-handler/kestrelixremote="); });
  qsizetype section = lines.indexOf("[Default Applications]");
  if (section < 0) {
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    lines << "[Default Applications]";
    section = lines.size() - 1;
  }
  lines.insert(section + 1, "x-scheme-handler/kestrelixremote=kestrelix-remote.desktop");
  QString text = lines.join('\n');
  if (!text.endsWith('\n')) text += '\n';
  return writeText(listPath, text.toUtf8());
}

QString relaunchScript() {
  return QStringLiteral(
      "for n in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do if ! kill -0 \"$1\" 2>/dev/null; "
      "then exec \"$2\"; fi; sleep 0.5; done; exit 1");
}

Status launchRelaunchScript(qint64 pid, const QString& executable) {
  const QStringList args{"-c", relaunchScript(), "kestrelix-relaunch", QString::number(pid), executable};
  if (!QProcess::startDetached("/bin/sh", args)) {
    return makeError("Relaunch", 1, "Could not start /bin/sh");
  }
  return {};
}

}  // namespace kx
