// The technician console window on Qt Widgets, and the video area that shows
// the remote picture and feeds local input into RemoteInputView.
#pragma once

#include <QWidget>
#include <memory>
#include <mutex>

#include "console/console_platform.h"
#include "console/remote_input_view.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace kx {

class VideoWidget final : public QWidget, public VideoRenderer {
 public:
  VideoWidget();
  void setInput(RemoteInputView* input) {
    input_ = input;
    if (input_) input_->setWindowActive(windowActive_);
  }
  void setWindowActive(bool active) {
    windowActive_ = active;
    if (input_) input_->setWindowActive(active);
  }

  // Engine thread: keeps the newest frame and asks the GUI thread to repaint.
  void onFrame(std::shared_ptr<const FrameBuffer> frame) override;
  // Frames taken for display so far, and the wall times of the first and
  // the last (GUI thread).
  uint64_t framesShown() const { return framesShown_; }
  double firstFrameTime() const { return firstFrameTime_; }
  double firstFrameUptime() const { return firstFrameUptime_; }  // same moment, on the uptime clock
  double lastFrameTime() const { return lastFrameTime_; }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool focusNextPrevChild(bool) override { return false; }  // Tab goes to the remote computer

 private:
  void press(QMouseEvent* event);
  void takeFrame();

  RemoteInputView* input_ = nullptr;
  std::mutex mutex_;
  std::shared_ptr<const FrameBuffer> pending_;
  std::shared_ptr<const FrameBuffer> shown_;
  uint64_t framesShown_ = 0;
  double firstFrameTime_ = 0;
  double firstFrameUptime_ = 0;
  double lastFrameTime_ = 0;
  int clicks_ = 0;
  bool windowActive_ = false;
};

class QtConsoleWindow final : public QWidget, public ConsoleWindowView {
 public:
  QtConsoleWindow();
  ~QtConsoleWindow() override;

  void setActions(ConsoleActions actions) override { actions_ = std::move(actions); }
  void attachInputView(RemoteInputView* input) override { video_->setInput(input); }
  VideoRenderer* videoRenderer() override { return video_; }
  void setIdentityText(const std::string& text) override;
  void setStatusText(const std::string& text) override;
  void setMeasurementText(const std::string& text) override;
  void setDeviceRows(std::vector<DeviceRow> rows, std::function<void(size_t)> requestAccess) override;
  void setEndButtonEnabled(bool enabled) override;
  void setSignInPending(bool pending) override;
  void setActivityText(const std::string& text) override;
  void setSessionHeaderText(const std::string& text) override;
  void showWindow() override;
  void toggleFullScreen() override;
  void setApplicationRegular(bool regular) override;

  VideoWidget* video() const { return video_; }
  // One line of JSON with the window's state and video figures, for the
  // scripts that drive the app (printed by the program when it quits).
  std::string summary() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  ConsoleActions actions_;
  QLabel* identity_ = nullptr;
  QLabel* status_ = nullptr;
  QLabel* measurement_ = nullptr;
  QLabel* sessionHeader_ = nullptr;
  QLabel* activity_ = nullptr;
  QPushButton* endButton_ = nullptr;
  QPushButton* cancelSignIn_ = nullptr;
  bool placed_ = false;
  QVBoxLayout* list_ = nullptr;
  VideoWidget* video_ = nullptr;
};

}  // namespace kx
