// kestrelix-remote: the client agent in the tray, and the technician console
// it opens on demand. Wires the Linux implementations to the logic.
#include <QApplication>
#include <QSysInfo>
#include <gst/gst.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "agent/remote_client.h"
#include "agent/user_text.h"
#include "agent/worker_thread.h"
#include "console/admin_console.h"
#include "platform/curl/curl_transport.h"
#include "platform/gst/gst_peer_engine.h"
#include "platform/qt/agent_shell.h"
#include "platform/qt/console_services.h"
#include "platform/qt/console_window.h"
#include "platform/qt/desktop_integration.h"
#include "platform/qt/display_picker_dialog.h"
#include "platform/qt/local_socket_instance.h"
#include "platform/qt/qt_event_loop.h"
#include "platform/qt/termination_signal.h"
#include "platform/qt/widget_map.h"
#include "platform/x11/x11_platform.h"
#include "protocol/build_config.h"
#include "protocol/json.h"

namespace {

constexpr const char* kCallbackPrefix = "kestrelixremote:";

}  // namespace

int main(int argc, char** argv) {
  using namespace kx;
  // SIGTERM must stay blocked in every thread (GStreamer, curl) so that only
  // the signalfd sees it and quitting runs the agent's own quit path.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);

  QApplication app(argc, argv);
  QApplication::setApplicationName("Kestrelix Remote Test");
  QApplication::setQuitOnLastWindowClosed(false);
  // UI automation finds the widgets by name in this file (the demo sets it).
  if (const char* map = std::getenv("KX_WIDGET_MAP"); map && *map) publishWidgetMap(QString::fromLocal8Bit(map));

  // Before anything else: a second copy touches no file and builds no menu.
  LocalSocketInstance instance;
  const std::string argument = argc > 1 ? argv[1] : "";
  const bool callback = argument.rfind(kCallbackPrefix, 0) == 0;
  if (const auto first = instance.claim(build::kApplicationId, callback ? argument : std::string())) {
    // Started by the desktop for a sign-in callback: handed to the running copy.
    if (callback) return 0;
    QtAgentDialogs alert;
    alert.showAlert(std::string(text::kAlreadyRunning), alreadyRunningDetail({*first}),
                    [] { QCoreApplication::exit(0); });
    return QApplication::exec();
  }

  gst_init(&argc, &argv);
  QtEventLoop loop;
  std::unique_ptr<PeerEngine> engine = makeGstPeerEngine();
  if (!engine) {
    fprintf(stderr, "kestrelix-remote: GStreamer webrtcbin, x264 or libav plugins are missing\n");
    return 1;
  }
  std::unique_ptr<ScreenCapture> screenCapture = makeX11ScreenCapture(loop);
  std::unique_ptr<InputInjector> injector = makeX11InputInjector();
  std::unique_ptr<InputAccess> inputAccess = makeX11InputAccess();
  WorkerThread background(loop);
  QtStatusMenu menu;
  QtAgentDialogs dialogs;
  DisplayPickerDialog picker([&screenCapture] { return screenCapture->displays(); });
  XdgLoginItem loginItem;
  DetachedRelauncher relauncher;
  QtPreferences preferences;
  QtApplicationControl application;
  QtWorkspace workspace;

  // The console's pieces exist from the start; the console itself on first use.
  QtConsoleWindow consoleWindow;
  BrowserWebSignIn webSignIn;
  SecretServiceKeychain keychain;
  QtPasteboard pasteboard;
  QtConsoleDialogs consoleDialogs;
  std::unique_ptr<AdminConsole> console;
  instance.setMessageHandler([&webSignIn](const std::string& message) { webSignIn.deliver(message); });

  auto makeTransport = [&loop](const std::string& host) {
    return std::make_unique<CurlTransport>(loop, CurlTransport::Options{KX_EXTRA_CA_FILE, host});
  };

  AgentPlatform platform{
      .loop = loop,
      .clock = loop,
      .menu = menu,
      .dialogs = dialogs,
      .makeSetupWindow = makeQtSetupWindow,
      .makeServiceTransport = [makeTransport](const PinnedConnection& pin) -> std::unique_ptr<HttpTransport> {
        return makeTransport(pin.host());
      },
      .peerEngine = *engine,
      .screenCapture = *screenCapture,
      .picker = picker,
      .injector = *injector,
      .inputAccess = *inputAccess,
      .background = background,
      .loginItem = loginItem,
      .relauncher = relauncher,
      .singleInstance = instance,
      .preferences = preferences,
      .application = application,
      .workspace = workspace,
      .showTechnicianConsole = {},
      .hostName = QSysInfo::machineHostName().toStdString(),
      .settingsFolder = defaultSettingsFolder(),
      .process = currentProcessInfo(),
      .service = {},
  };
  platform.showTechnicianConsole = [&](std::function<std::string()> deviceIdentifier) {
    if (!console) {
      ConsolePlatform consolePlatform{
          .loop = loop,
          .clock = loop,
          .view = consoleWindow,
          .webSignIn = webSignIn,
          .keychain = keychain,
          .pasteboard = pasteboard,
          .dialogs = consoleDialogs,
          .peerEngine = *engine,
          .makeHttpTransport = [makeTransport]() -> std::unique_ptr<HttpTransport> {
            return makeTransport(build::kServiceHost);
          },
      };
      console = std::make_unique<AdminConsole>(consolePlatform, std::move(deviceIdentifier));
    }
    console->show();
  };

  // Quitting ends the technician's session too, and waits (briefly) for its
  // end request before the process goes.
  application.setBeforeExit([&console, &consoleWindow](std::function<void()> proceed) {
    if (!console) {
      proceed();
      return;
    }
    console->quit([&console, &consoleWindow, proceed] {
      Json summary = parseJson(consoleWindow.summary()).value_or(Json::object());
      summary["timelines"] = console->timelines();
      printf("console %s\n", dumpJson(summary).c_str());
      fflush(stdout);
      proceed();
    });
  });

  RemoteClient client(platform);
  TerminationSignal termination([&client] { client.quit(); });
  client.start();
  // Best effort: without it the browser cannot hand the sign-in back to us,
  // which the console reports when the sign-in times out.
  if (Status st = registerUrlHandler(QCoreApplication::applicationFilePath()); !st) {
    fprintf(stderr, "kestrelix-remote: %s\n", st.error().description.c_str());
  }
  menu.install(AgentMenuActions{
      .showTechnician = [&client] { client.showTechnician(); },
      .showSetup = [&client] { client.showSetup(); },
      .importEnrollment = [&client] { client.importEnrollment(); },
      .connectionDetails = [&client] { client.connectionDetails(); },
      .enableLogin = [&client] { client.enableLogin(); },
      .inputPermission = [&client] { client.inputPermission(); },
      .endSession = [&client] { client.endSession(); },
      .quit = [&client] { client.quit(); },
  });
  const int rc = app.exec();
  console.reset();
  return rc;
}
