#include "platform/qt/deliberate_choice.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>

namespace kx {
namespace {

// Starts the hold when the dialog is first shown, not when it was built. The
// timer is a named child of the dialog: a test runs it instead of waiting.
class ShowWatcher final : public QObject {
 public:
  ShowWatcher(QWidget* dialog, QList<QAbstractButton*> buttons, int delayMs)
      : QObject(dialog), buttons_(buttons.begin(), buttons.end()), hold_(new QTimer(this)) {
    hold_->setObjectName("choiceHoldTimer");
    hold_->setSingleShot(true);
    hold_->setInterval(delayMs);
    connect(hold_, &QTimer::timeout, this, [this] {
      for (const QPointer<QAbstractButton>& button : buttons_) {
        if (button) button->setEnabled(true);
      }
    });
    dialog->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !started_) {
      started_ = true;
      hold_->start();
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QList<QPointer<QAbstractButton>> buttons_;
  QTimer* hold_;
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
