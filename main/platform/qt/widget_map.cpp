#include "platform/qt/widget_map.h"

#include <QAccessible>
#include <QApplication>
#include <QSaveFile>
#include <QTimer>
#include <QWidget>

namespace kx {
namespace {

QString oneLine(QString text) {
  text.replace(QLatin1Char('\t'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

QString describeVisibleWidgets() {
  QString map;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    QList<QWidget*> widgets = top->findChildren<QWidget*>();
    widgets.prepend(top);
    for (QWidget* w : widgets) {
      if (!w->isVisible()) continue;
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(w);
      const QString name = accessible ? accessible->text(QAccessible::Name) : QString();
      if (w->objectName().isEmpty() && name.isEmpty()) continue;
      const QPoint at = w->mapToGlobal(QPoint(0, 0));
      map += QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\t%7\n")
                 .arg(oneLine(w->objectName()), oneLine(name))
                 .arg(at.x())
                 .arg(at.y())
                 .arg(w->width())
                 .arg(w->height())
                 .arg(w->isEnabled() ? 1 : 0);
    }
  }
  return map;
}

}  // namespace

void publishWidgetMap(const QString& path) {
  auto* timer = new QTimer(qApp);
  QObject::connect(timer, &QTimer::timeout, timer, [path, last = QString()]() mutable {
    QString map = describeVisibleWidgets();
    if (map == last) return;
    // Written whole and renamed into place: a reader never sees half a map.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return;
    file.write(map.toUtf8());
    if (file.commit()) last = std::move(map);
  });
  timer->start(100);
}

}  // namespace kx
