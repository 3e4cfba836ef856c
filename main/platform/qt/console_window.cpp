#include "platform/qt/console_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QCursor>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include "console/mac_keycodes.h"
#include "console/remote_input_view.h"
#include "protocol/platform_texts.h"
#include "protocol/json.h"
#include "runtime/clock.h"

namespace kx {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }
Point localPoint(const QPointF& p) { return Point{p.x(), p.y()}; }

uint64_t macFlags(Qt::KeyboardModifiers m, bool capsLock) {
  return macFlagsForModifiers(m & Qt::ShiftModifier, m & Qt::ControlModifier, m & Qt::AltModifier,
                              m & Qt::MetaModifier, capsLock);
}

}  // namespace

VideoWidget::VideoWidget() {
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 200);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void VideoWidget::onFrame(std::shared_ptr<const FrameBuffer> frame) {
  bool first;
  {
    std::lock_guard lock(mutex_);
    first = !pending_;
    pending_ = std::move(frame);
  }
  // One queued repaint is enough however many frames arrive meanwhile.
  if (first) QMetaObject::invokeMethod(this, [this] { takeFrame(); }, Qt::QueuedConnection);
}

void VideoWidget::takeFrame() {
  std::shared_ptr<const FrameBuffer> frame;
  {
    std::lock_guard lock(mutex_);
    frame = std::move(pending_);
    pending_.reset();
  }
  if (!frame) return;
  const bool resized = !shown_ || shown_->width() != frame->width() || shown_->height() != frame->height();
  shown_ = std::move(frame);
  ++framesShown_;
  lastFrameTime_ = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
  if (framesShown_ == 1) {
    firstFrameTime_ = lastFrameTime_;
    firstFrameUptime_ = SystemClock().uptime();
  }
  if (resized && input_) input_->videoSizeChanged(shown_->width(), shown_->height());
  update();
}

bool VideoWidget::event(QEvent* event) {
  // Shortcuts (Ctrl/Alt/Super combinations) go to the remote computer, not to
  // the console's own buttons, while the view has focus and input is allowed.
  if (event->type() == QEvent::ShortcutOverride && input_ && input_->allowed()) {
    event->accept();
    return true;
  }
  return QWidget::event(event);
}

void VideoWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (!shown_ || !input_) return;
  const Rect f = input_->videoFrame();
  // BGRA bytes are ARGB32 on little-endian machines.
  const QImage image(shown_->data(), shown_->width(), shown_->height(), shown_->stride(), QImage::Format_ARGB32);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(QRectF(f.x, f.y, f.width, f.height), image);
}

void VideoWidget::resizeEvent(QResizeEvent*) {
  if (input_) input_->setBounds(width(), height());
}

void VideoWidget::mouseMoveEvent(QMouseEvent* event) {
  if (!input_) return;
  if (event->buttons() & (Qt::LeftButton | Qt::RightButton)) {
    input_->mouseDragged(localPoint(event->position()), std::max(1, clicks_));
  } else {
    input_->mouseMoved(localPoint(event->position()));
  }
}

void VideoWidget::press(QMouseEvent* event) {
  if (!input_) return;
  const MouseButton which = event->button() == Qt::RightButton ? MouseButton::kRight : MouseButton::kLeft;
  if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) return;
  // Qt reports at most double clicks; the count, triple clicks included, is the view's.
  const Point point = localPoint(event->position());
  clicks_ = input_->countClick(which, point, static_cast<double>(event->timestamp()) / 1000.0);
  if (input_->mouseDown(which, point, clicks_, hasFocus())) setFocus(Qt::MouseFocusReason);
}

void VideoWidget::mousePressEvent(QMouseEvent* event) { press(event); }
void VideoWidget::mouseDoubleClickEvent(QMouseEvent* event) { press(event); }

void VideoWidget::mouseReleaseEvent(QMouseEvent* event) {
  if (!input_ || (event->button() != Qt::LeftButton && event->button() != Qt::RightButton)) return;
  input_->mouseUp(localPoint(event->position()), std::max(1, clicks_));
}

void VideoWidget::wheelEvent(QWheelEvent* event) {
  if (!input_) return;
  // Pixel deltas when the device has them; a wheel notch (120) counts as 40 pixels.
  const QPointF delta = !event->pixelDelta().isNull() ? QPointF(event->pixelDelta())
                                                       : QPointF(event->angleDelta()) / 3.0;
  input_->scroll(delta.x(), delta.y());
  event->accept();
}

void VideoWidget::keyPressEvent(QKeyEvent* event) {
  if (!input_) return;
  // Modifiers pressed alone travel only as flags of the next key.
  if (isModifierKeysym(event->nativeVirtualKey())) return;
  const auto code = macKeyCodeForKeysym(event->nativeVirtualKey());
  if (!code) return;  // keys the Mac lacks
  const bool capsLock = event->nativeModifiers() & 0x2;  // X11 LockMask
  input_->keyDown(*code, macFlags(event->modifiers(), capsLock), event->text().toStdString());
  event->accept();
}

QtConsoleWindow::QtConsoleWindow() {
  setWindowTitle("Kestrelix Remote — Technician");
  resize(1150, 760);
  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(20, 20, 20, 20);
  root->setSpacing(14);

  auto* top = new QHBoxLayout;
  top->setSpacing(10);
  // Every label shows text from the service or the network: never as markup.
  auto plainLabel = [](const char* name) {
    auto* label = new QLabel;
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
  };
  identity_ = plainLabel("identity");
  identity_->setText(QString::fromUtf8(kPlatformTexts.signInPrompt.data(),
                                       static_cast<qsizetype>(kPlatformTexts.signInPrompt.size())));
  top->addWidget(identity_);
  auto addButton = [&](const char* title, std::function<void()> ConsoleActions::*member) {
    auto* b = new QPushButton(title);
    connect(b, &QPushButton::clicked, this, [this, member] {
      if (auto& fn = actions_.*member) fn();
    });
    top->addWidget(b);
    return b;
  };
  addButton("Technician sign in", &ConsoleActions::signIn);
  cancelSignIn_ = addButton("Cancel", &ConsoleActions::cancelSignIn);
  cancelSignIn_->setObjectName("cancelSignInButton");
  cancelSignIn_->hide();
  addButton("Refresh devices", &ConsoleActions::refreshList);
  addButton("Create setup code", &ConsoleActions::createCode);
  addButton("Sign out", &ConsoleActions::signOut);
  addButton("Recent activity", &ConsoleActions::showActivity)->setObjectName("activityButton");
  endButton_ = addButton("End session", &ConsoleActions::end);
  endButton_->setEnabled(false);
  addButton("Full screen", &ConsoleActions::fullScreen);
  top->addStretch();
  root->addLayout(top);

  status_ = plainLabel("status");
  status_->setWordWrap(true);
  root->addWidget(status_);
  sessionHeader_ = plainLabel("sessionHeader");
  sessionHeader_->hide();
  root->addWidget(sessionHeader_);

  auto* middle = new QHBoxLayout;
  middle->setSpacing(16);
  auto* scroll = new QScrollArea;
  scroll->setFixedWidth(245);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setWidgetResizable(true);
  auto* listHost = new QWidget;
  list_ = new QVBoxLayout(listHost);
  list_->setSpacing(12);
  list_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  scroll->setWidget(listHost);
  auto* column = new QVBoxLayout;
  column->addWidget(scroll, 1);
  activity_ = plainLabel("activity");
  activity_->setWordWrap(true);
  activity_->setFixedWidth(245);
  activity_->hide();
  column->addWidget(activity_);
  middle->addLayout(column);
  video_ = new VideoWidget;
  video_->setObjectName("video");
  middle->addWidget(video_, 1);
  root->addLayout(middle, 1);

  measurement_ = plainLabel("measurement");
  root->addWidget(measurement_);
}

QtConsoleWindow::~QtConsoleWindow() = default;

void QtConsoleWindow::setIdentityText(const std::string& text) { identity_->setText(q(text)); }
void QtConsoleWindow::setStatusText(const std::string& text) { status_->setText(q(text)); }
void QtConsoleWindow::setMeasurementText(const std::string& text) { measurement_->setText(q(text)); }
void QtConsoleWindow::setEndButtonEnabled(bool enabled) { endButton_->setEnabled(enabled); }
void QtConsoleWindow::setActivityText(const std::string& text) {
  activity_->setText(q(text));
  activity_->setVisible(!text.empty());
}
void QtConsoleWindow::setSignInPending(bool pending) { cancelSignIn_->setVisible(pending); }
void QtConsoleWindow::setSessionHeaderText(const std::string& text) {
  sessionHeader_->setText(q(text));
  sessionHeader_->setVisible(!text.empty());
}

void QtConsoleWindow::setDeviceRows(std::vector<DeviceRow> rows, std::function<void(size_t)> requestAccess) {
  while (QLayoutItem* item = list_->takeAt(0)) {
    if (QWidget* w = item->widget()) w->deleteLater();
    delete item;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    auto* label = new QLabel(q(rows[i].label));
    label->setTextFormat(Qt::PlainText);  // device names come from the service
    label->setWordWrap(true);
    auto* button = new QPushButton("Request access");
    button->setEnabled(rows[i].enabled);
    connect(button, &QPushButton::clicked, this, [requestAccess, i] {
      if (requestAccess) requestAccess(i);
    });
    list_->addWidget(label);
    list_->addWidget(button, 0, Qt::AlignLeft);
  }
}

std::string QtConsoleWindow::summary() const {
  return dumpJson(Json{{"framesShown", video_->framesShown()},
                       {"firstFrameTime", video_->firstFrameTime()},
                       {"firstFrameUptime", video_->firstFrameUptime()},
                       {"lastFrameTime", video_->lastFrameTime()},
                       {"identity", identity_->text().toStdString()},
                       {"status", status_->text().toStdString()},
                       {"measurement", measurement_->text().toStdString()}});
}

void QtConsoleWindow::showWindow() {
  if (!placed_) {
    // The first time: centred on the screen the pointer is on.
    placed_ = true;
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
      QRect frame = frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      move(frame.topLeft());
    }
  }
  show();
  raise();
  activateWindow();
}

void QtConsoleWindow::toggleFullScreen() {
  if (isFullScreen()) {
    showNormal();
  } else {
    showFullScreen();
  }
}

void QtConsoleWindow::setApplicationRegular(bool) {
  // Linux desktops have no dock mode to switch: the tray icon stays either way.
}

void QtConsoleWindow::closeEvent(QCloseEvent* event) {
  // Closing only hides the window; the console and its token stay.
  event->ignore();
  hide();
  if (actions_.windowWillClose) actions_.windowWillClose();
}

void QtConsoleWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::ActivationChange) {
    video_->setWindowActive(isActiveWindow());
    if (!isActiveWindow() && actions_.windowDidResignKey) actions_.windowDidResignKey();
  }
  QWidget::changeEvent(event);
}

}  // namespace kx
