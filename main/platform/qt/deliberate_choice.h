// Dialogs whose answer grants or refuses access: the refusing button is the
// default, and no button takes input until the dialog has been on screen for
// a moment, so that a key pressed for another window is never a choice.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QList>
#include <QWidget>

namespace kx {

inline constexpr int kChoiceDelayMs = 1000;

// Disables `buttons` now and enables them `delayMs` after `dialog` is shown
// (call it before showing). Their state tells whether a choice is possible.
void holdChoiceUntilSeen(QWidget* dialog, const QList<QAbstractButton*>& buttons, int delayMs = kChoiceDelayMs);

// Labels that show text from the service or the network render it as typed,
// never as markup or links.
void showAsPlainText(const QList<QLabel*>& labels);

}  // namespace kx
