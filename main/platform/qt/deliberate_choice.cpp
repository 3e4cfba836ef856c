#include "platform/qt/deliberate_choice.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>

namespace kx {
namespace {

// Starts the delay when the dialog is first shown, not when it was built.
class ShowWatcher final : public QObject {
 public:
  ShowWatcher(QWidget* dialog, QList<QAbstractButton*> buttons, int delayMs)
      : QObject(dialog), buttons_(buttons.begin(), buttons.end()), delayMs_(delayMs) {
    dialog->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !started_) {
      started_ = true;
      QTimer::singleShot(delayMs_, this, [this] {
        for (const QPointer<QAbstractButton>& button : buttons_) {
          if (button) button->setEnabled(true);
        }
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QList<QPointer<QAbstractButton>> buttons_;
  int delayMs_;
  bool started_ = false;
};

}  // namespace

void holdChoiceUntilSeen(QWidget* dialog, const QList<QAbstractButton*>& buttons, int delayMs) {
  for (QAbstractButton* button : buttons) button->setEnabled(false);
  new ShowWatcher(dialog, buttons, delayMs);
}

void showAsPlainText(const QList<QLabel*>& labels) {
  for (QLabel* label : labels) {
    if (!label) continue;
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(label->textInteractionFlags() & ~Qt::LinksAccessibleByMouse &
                                   ~Qt::LinksAccessibleByKeyboard);
    label->setOpenExternalLinks(false);
  }
}

}  // namespace kx
