// kx-service: the reference support service and its administration commands.
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/json.h"
#include "runtime/clock.h"
#include "service/config_file.h"
#include "service/console_assets.h"
#include "service/https_front.h"
#include "service/local_certificates.h"
#include "service/open_storage.h"
#include "service/postgres_storage.h"
#include "service/service.h"

namespace {

using namespace kx;
using namespace kx::service;

constexpr const char* kUsage =
    "usage: kx-service COMMAND [OPTIONS]\n"
    "  serve [--data DIR] [--database URI] [--listen HOST:PORT] [--cert FILE --key FILE]\n"
    "        [--consent-seconds N] [--pending-seconds N] [--workers N] [--installer-url URL]\n"
    "        [--max-connections N] [--max-connections-per-address N] [--request-seconds N]\n"
    "        [--monitor HOST:PORT] [--trusted-proxies ADDRESS,...]\n"
    "      serve HTTPS (default 127.0.0.1:8443); without --cert/--key a local CA and a\n"
    "      certificate for localhost and 127.0.0.1 are made in the data folder;\n"
    "      --monitor serves /healthz and /metrics over plain HTTP there (off by default);\n"
    "      connections from --trusted-proxies (e.g. HAProxy with send-proxy or send-proxy-v2)\n"
    "      start with a PROXY header naming the client (off by default)\n"
    "  technician add NAME [--data DIR]\n"
    "      add a technician; the password is read from standard input\n"
    "  technician remove NAME [--data DIR]\n"
    "      remove a technician with their devices and credentials\n"
    "  audit [--technician NAME] [--limit N] [--data DIR]\n"
    "      print the audit log as JSON lines, newest first (default: 1000 rows)\n"
    "  enrollment-file --technician NAME [--url URL] [--data DIR]\n"
    "      print an enrollment file with a fresh one-time token\n"
    "  setup-code --technician NAME [--data DIR]\n"
    "      print a fresh setup code (one computer, 24 hours)\n"
    "  certificates [--data DIR]\n"
    "      make (or keep) the local CA and certificate that serve uses, and print the CA's path\n"
    "Every command takes --database postgresql://USER@HOST/DB to keep its data in a\n"
    "PostgreSQL database that several serving replicas share; by default it is the\n"
    "SQLite file service.db in the data folder, which defaults to ~/.local/share/kx-service.\n"
    "Every command takes --config FILE: \"name = value\" lines naming the options above\n"
    "(listen, cert, key, data, database...) and url, the address enrollment files give;\n"
    "options on the command line win. Run as root, a command acts as the owner of the\n"
    "data folder.\n";

// Installed builds read their /etc file without being told.
constexpr const char* kDefaultConfig = KX_SERVICE_CONFIG;

struct Arguments {
  std::vector<std::string> words;               // positional
  std::map<std::string, std::string> options;  // --name value
  std::set<std::string> fromConfig;             // options the config file gave
};

std::optional<Arguments> parseArguments(int argc, char** argv, int first) {
  Arguments args;
  for (int i = first; i < argc; ++i) {
    std::string word = argv[i];
    if (word.rfind("--", 0) == 0) {
      if (word == "--help") return std::nullopt;
      if (i + 1 >= argc) {
        std::cerr << "kx-service: " << word << " needs a value\n";
        return std::nullopt;
      }
      args.options[word.substr(2)] = argv[++i];
    } else {
      args.words.push_back(std::move(word));
    }
  }
  return args;
}

bool onlyOptions(const Arguments& args, std::initializer_list<const char*> allowed) {
  for (const auto& [name, value] : args.options) {
    if (args.fromConfig.contains(name)) continue;  // the file serves every command
    bool known = false;
    for (const char* a : allowed) known = known || name == a;
    if (!known) {
      std::cerr << "kx-service: unknown option --" << name << "\n";
      return false;
    }
  }
  return true;
}

// Fills in what the command line left out from --config (or the installed default).
bool applyConfig(Arguments& args) {
  std::string path = kDefaultConfig;
  if (auto it = args.options.find("config"); it != args.options.end()) {
    path = it->second;
    args.options.erase(it);
  } else if (path.empty() || ::access(path.c_str(), F_OK) != 0) {
    return true;
  }
  auto values = readConfigFile(path);
  if (!values) {
    std::cerr << "kx-service: " << values.error().description << "\n";
    return false;
  }
  for (auto& [name, value] : *values) {
    if (args.options.emplace(name, value).second) args.fromConfig.insert(name);
  }
  return true;
}

// Root administering an installed service must not leave root-owned files in
// the service's folder: it acts as the folder's owner instead.
bool becomeDataOwner(const std::string& data) {
  struct stat folder {};
  if (::geteuid() != 0 || ::stat(data.c_str(), &folder) != 0 || folder.st_uid == 0) return true;
  if (::setgroups(0, nullptr) != 0 || ::setgid(folder.st_gid) != 0 || ::setuid(folder.st_uid) != 0) {
    std::cerr << "kx-service: cannot act as the owner of " << data << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

std::string dataFolder(const Arguments& args) {
  if (auto it = args.options.find("data"); it != args.options.end()) return it->second;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.local/share/kx-service";
}

bool makeFolders(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      std::cerr << "kx-service: cannot create " << part << ": " << std::strerror(errno) << "\n";
      return false;
    }
  }
  return true;
}

std::optional<double> positiveNumber(const Arguments& args, const char* name, double fallback) {
  auto it = args.options.find(name);
  if (it == args.options.end()) return fallback;
  double value = 0;
  const std::string& text = it->second;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !(value > 0)) {
    std::cerr << "kx-service: --" << name << " needs a positive number\n";
    return std::nullopt;
  }
  return value;
}

struct Opened {
  std::unique_ptr<Storage> storage;
  SystemClock clock;
  std::unique_ptr<Service> service;
};

std::unique_ptr<Opened> openService(const Arguments& args, ServiceOptions options) {
  const std::string data = dataFolder(args);
  if (!becomeDataOwner(data) || !makeFolders(data)) return nullptr;
  const auto database = args.options.find("database");
  auto storage = openStorage(database == args.options.end() ? data + "/service.db" : database->second);
  if (!storage) {
    std::cerr << "kx-service: " << storage.error().description << "\n";
    return nullptr;
  }
  auto opened = std::make_unique<Opened>();
  opened->storage = std::move(*storage);
  options.log = [](std::string_view line) { std::cerr << "kx-service: " << line << std::endl; };
  opened->service = std::make_unique<Service>(*opened->storage, opened->clock, std::move(options));
  return opened;
}

std::string readPassword() {
  const bool terminal = ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    std::cerr << "Password: " << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string line;
  std::getline(std::cin, line);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
  }
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

std::optional<CertificateFiles> localCertificates(const std::string& data) {
  auto files = ensureLocalCertificates(data);
  if (!files) {
    std::cerr << "kx-service: " << files.error().description << "\n";
    return std::nullopt;
  }
  std::cout << "kx-service: local CA " << (files->createdAuthority ? "created" : "in use") << ": " << files->caFile
            << " (trust this file in local builds of the app)" << std::endl;
  return std::move(*files);
}

// The local CA before any serving: builds that trust it, and services that
// share it through --cert/--key, need it first.
int certificatesCommand(const Arguments& args) {
  if (args.words.size() != 1 || !onlyOptions(args, {"data"})) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string data = dataFolder(args);
  if (!becomeDataOwner(data) || !makeFolders(data)) return 1;
  return localCertificates(data) ? 0 : 1;
}

int technicianCommand(const Arguments& args) {
  const bool add = args.words.size() == 3 && args.words[1] == "add";
  const bool remove = args.words.size() == 3 && args.words[1] == "remove";
  if ((!add && !remove) || !onlyOptions(args, {"data", "database"})) {
    std::cerr << kUsage;
    return 2;
  }
  auto opened = openService(args, {});
  if (!opened) return 1;
  const Status s = add ? opened->service->addTechnician(args.words[2], readPassword())
                       : opened->service->removeTechnician(args.words[2]);
  if (!s) {
    std::cerr << "kx-service: " << s.error().description << "\n";
    return 1;
  }
  std::cout << "Technician " << args.words[2] << (add ? " added.\n" : " removed.\n");
  return 0;
}

int auditCommand(const Arguments& args) {
  if (args.words.size() != 1 || !onlyOptions(args, {"data", "database", "technician", "limit"})) {
    std::cerr << kUsage;
    return 2;
  }
  const auto limit = positiveNumber(args, "limit", 1000);
  if (!limit) return 2;
  auto opened = openService(args, {});
  if (!opened) return 1;
  auto technician = args.options.find("technician");
  auto rows = opened->service->auditLog(technician == args.options.end() ? "" : technician->second,
                                        static_cast<size_t>(*limit));
  if (!rows) {
    std::cerr << "kx-service: " << rows.error().description << "\n";
    return 1;
  }
  for (const AuditEntry& row : *rows) std::cout << dumpJson(auditJson(row)) << "\n";
  return 0;
}

int issueCommand(const Arguments& args, bool enrollmentFile) {
  const bool ok = enrollmentFile ? onlyOptions(args, {"data", "database", "technician", "url"})
                                 : onlyOptions(args, {"data", "database", "technician"});
  auto technician = args.options.find("technician");
  if (!ok || args.words.size() != 1 || technician == args.options.end()) {
    std::cerr << kUsage;
    return 2;
  }
  auto opened = openService(args, {});
  if (!opened) return 1;
  auto secret = enrollmentFile ? opened->service->createEnrollmentToken(technician->second)
                               : opened->service->createSetupCode(technician->second);
  if (!secret) {
    std::cerr << "kx-service: " << secret.error().description << "\n";
    return 1;
  }
  if (!enrollmentFile) {
    std::cout << *secret << "\n";
    return 0;
  }
  auto url = args.options.find("url");
  const std::string address = url == args.options.end() ? "https://localhost:8443" : url->second;
  if (address.rfind("https://", 0) != 0) {
    std::cerr << "kx-service: --url must be an https address\n";
    return 2;
  }
  std::cout << Json{{"url", address}, {"token", *secret}, {"sitesAccess", ""}}.dump(2) << "\n";
  return 0;
}

// "HOST:PORT" or "[V6]:PORT".
bool parseHostPort(const std::string& text, std::string& host, uint16_t& port) {
  const size_t colon = text.rfind(':');
  unsigned number = 0;
  const char* begin = text.data() + (colon == std::string::npos ? 0 : colon + 1);
  auto [end, ec] = std::from_chars(begin, text.data() + text.size(), number);
  if (colon == std::string::npos || colon == 0 || ec != std::errc() || end != text.data() + text.size() ||
      number > 65535) {
    return false;
  }
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  port = static_cast<uint16_t>(number);
  return true;
}

int serveCommand(const Arguments& args) {
  if (args.words.size() != 1 ||
      !onlyOptions(args, {"data", "database", "listen", "cert", "key", "consent-seconds", "pending-seconds", "workers",
                          "installer-url", "max-connections", "max-connections-per-address", "monitor", "request-seconds",
                          "trusted-proxies"})) {
    std::cerr << kUsage;
    return 2;
  }
  FrontOptions server;
  for (const auto& [option, host, port] : {std::tuple{"listen", &server.host, &server.port},
                                           std::tuple{"monitor", &server.monitorHost, &server.monitorPort}}) {
    auto it = args.options.find(option);
    if (it != args.options.end() && !parseHostPort(it->second, *host, *port)) {
      std::cerr << "kx-service: --" << option << " needs HOST:PORT\n";
      return 2;
    }
  }
  const auto consent = positiveNumber(args, "consent-seconds", 1800);
  const auto pending = positiveNumber(args, "pending-seconds", 120);
  const auto workers = positiveNumber(args, "workers", 0.5);
  const auto connections = positiveNumber(args, "max-connections", 10000);
  const auto perAddress = positiveNumber(args, "max-connections-per-address", 256);
  const auto requestSeconds = positiveNumber(args, "request-seconds", 10);
  if (!consent || !pending || !workers || !connections || !perAddress || !requestSeconds) return 2;
  server.requestSeconds = *requestSeconds;
  if (*workers >= 1) server.ioThreads = static_cast<int>(*workers);
  server.maxConnections = static_cast<size_t>(*connections);
  server.maxConnectionsPerAddress = static_cast<size_t>(*perAddress);
  if (auto it = args.options.find("trusted-proxies"); it != args.options.end()) {
    std::string_view list = it->second;
    while (!list.empty()) {
      const size_t comma = list.find(',');
      if (comma != 0) server.trustedProxies.emplace_back(list.substr(0, comma));
      list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
  }
  if (*consent > kMaxConsentSeconds) {
    std::cerr << "kx-service: --consent-seconds is at most " << kMaxConsentSeconds << "\n";
    return 2;
  }

  const std::string data = dataFolder(args);
  ServiceOptions options;
  options.consentSeconds = *consent;
  options.pendingSeconds = *pending;
  if (auto it = args.options.find("installer-url"); it != args.options.end()) options.installerUrl = it->second;
  auto opened = openService(args, std::move(options));
  if (!opened) return 1;
  // Handlers mostly wait on the database: with one that takes calls side by
  // side, as many run as the storage has connections.
  if (opened->storage->concurrent()) server.handlerThreads = static_cast<int>(kPostgresConnections);

  const auto cert = args.options.find("cert");
  const auto key = args.options.find("key");
  if ((cert == args.options.end()) != (key == args.options.end())) {
    std::cerr << "kx-service: --cert and --key go together\n";
    return 2;
  }
  if (cert != args.options.end()) {
    server.certificateFile = cert->second;
    server.keyFile = key->second;
  } else {
    auto files = localCertificates(data);
    if (!files) return 1;
    server.certificateFile = files->certificateFile;
    server.keyFile = files->keyFile;
  }

  // Signals are taken by sigtimedwait below; every thread started from here
  // inherits the mask, so none of them is interrupted.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  // Every kept-alive client holds a descriptor.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // Without its files the service still runs; /console/ then answers 404.
  std::optional<ConsoleAssets> console;
  if (auto loaded = ConsoleAssets::load(consoleAssetsFolder()); loaded) {
    console = std::move(*loaded);
  } else {
    std::cerr << "kx-service: browser console off: " << loaded.error().description << std::endl;
  }

  Service& service = *opened->service;
  HttpsFront* front = nullptr;  // set before serving starts
  auto created = HttpsFront::create(
      server,
      [&service, &console](const Request& r) {
        if (console) {
          if (auto page = console->serve(r)) return std::move(*page);
        }
        return service.handle(r);
      },
      [&service, &front](const Request& r) { return service.monitor(r, front->latencyMetrics()); },
      [&service](const Request& r) { return service.answerAtOnce(r); });
  if (!created) {
    std::cerr << "kx-service: " << created.error().description << "\n";
    return 1;
  }
  HttpsFront& http = **created;
  front = &http;
  http.start();
  const auto shown = [](const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
  };
  // The listening line comes last: scripts wait for it.
  if (!server.monitorHost.empty()) {
    std::cout << "kx-service monitoring on http://" << shown(server.monitorHost) << ":" << http.monitorPort()
              << std::endl;
  }
  std::cout << "kx-service listening on https://" << shown(server.host) << ":" << http.port() << std::endl;

  (void)service.sweep();
  for (;;) {
    timespec interval{30, 0};
    const int sig = sigtimedwait(&stopSignals, nullptr, &interval);
    if (sig == SIGINT || sig == SIGTERM) break;
    if (Status s = service.sweep(); !s) std::cerr << "kx-service: " << s.error().summary() << std::endl;
  }
  http.stop();
  http.wait();
  std::cout << "kx-service stopped" << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  // The database, its journal and the keys are for this user only (files
  // meant to be shared, like the CA certificate, get their mode explicitly).
  ::umask(077);
  const std::string command = argv[1];
  if (command == "help" || command == "--help" || command == "-h") {
    std::cout << kUsage;
    return 0;
  }
  auto args = parseArguments(argc, argv, 1);
  if (!args || !applyConfig(*args)) {
    std::cerr << kUsage;
    return 2;
  }
  if (command == "serve") return serveCommand(*args);
  if (command == "technician") return technicianCommand(*args);
  if (command == "audit") return auditCommand(*args);
  if (command == "certificates") return certificatesCommand(*args);
  if (command == "enrollment-file") return issueCommand(*args, true);
  if (command == "setup-code") return issueCommand(*args, false);
  std::cerr << "kx-service: unknown command " << command << "\n" << kUsage;
  return 2;
}
