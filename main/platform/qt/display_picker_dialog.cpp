#include "platform/qt/display_picker_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/qt/deliberate_choice.h"

namespace kx {

DisplayPickerDialog::DisplayPickerDialog(std::function<std::vector<Display>()> displays, int choiceDelayMs)
    : displays_(std::move(displays)), choiceDelayMs_(choiceDelayMs) {}

DisplayPickerDialog::~DisplayPickerDialog() {
  if (dialog_) delete dialog_.data();
}

void DisplayPickerDialog::setActive(bool active) {
  active_ = active;
  if (!active && dialog_) {
    dialog_->disconnect();
    dialog_->deleteLater();
    dialog_.clear();
  }
}

void DisplayPickerDialog::present() {
  if (!active_ || dialog_) return;
  const std::vector<Display> displays = displays_();
  if (displays.empty()) {
    if (observer_.startDidFail) observer_.startDidFail(makeError("Display picker", 1, "No display is available to share"));
    return;
  }
  auto* dialog = new QDialog;
  dialog->setWindowTitle("Choose the display to share");
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(new QLabel("Choose the display the technician will see and control."));
  auto* list = new QListWidget;
  for (const Display& d : displays) {
    list->addItem(QString::fromStdString(d.name) +
                  QString(" — %1 × %2").arg(d.bounds.width).arg(d.bounds.height));
  }
  list->setCurrentRow(0);
  layout->addWidget(list);
  auto* buttons = new QDialogButtonBox;
  QPushButton* share = buttons->addButton("Share", QDialogButtonBox::AcceptRole);
  share->setObjectName("shareButton");
  QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
  cancel->setObjectName("cancelButton");
  // Return cancels; nothing is chosen before the dialog has been seen.
  share->setAutoDefault(false);
  cancel->setDefault(true);
  holdChoiceUntilSeen(dialog, {share, cancel}, choiceDelayMs_);
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  QObject::connect(list, &QListWidget::itemDoubleClicked, dialog, [dialog, share] {
    if (share->isEnabled()) dialog->accept();
  });
  QObject::connect(dialog, &QDialog::finished, dialog, [this, list, displays](int result) {
    dialog_.clear();
    const int row = list->currentRow();
    if (result == QDialog::Accepted && row >= 0 && row < static_cast<int>(displays.size())) {
      if (observer_.didUpdate) observer_.didUpdate(ContentFilter{{displays[static_cast<size_t>(row)]}});
    } else if (observer_.didCancel) {
      observer_.didCancel();
    }
  });
  dialog_ = dialog;
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
  cancel->setFocus();
}

}  // namespace kx
