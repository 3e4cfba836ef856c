// The display picker: a small dialog in which the person at the computer
// chooses one whole display to share. One presentation at a time.
#pragma once

#include <QPointer>
#include <functional>
#include <vector>

#include "media/capture.h"

class QDialog;

namespace kx {

class DisplayPickerDialog final : public DisplayPicker {
 public:
  // `choiceDelayMs`: how long the dialog takes no answer after it shows.
  explicit DisplayPickerDialog(std::function<std::vector<Display>()> displays, int choiceDelayMs = 1000);
  ~DisplayPickerDialog() override;

  void setObserver(Observer observer) override { observer_ = std::move(observer); }
  // Making the picker inactive closes an open presentation without a report.
  void setActive(bool active) override;
  void present() override;

 private:
  std::function<std::vector<Display>()> displays_;
  Observer observer_;
  bool active_ = false;
  int choiceDelayMs_;
  QPointer<QDialog> dialog_;
};

}  // namespace kx
