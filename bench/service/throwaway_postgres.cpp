#include "throwaway_postgres.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kx::service::driver {

namespace {

constexpr const char* kUser = "kx";
constexpr const char* kServiceAccount = "kx-postgres";

Error failure(std::string what) { return makeError("Postgres", 1, std::move(what)); }

// The bin folder of the newest PostgreSQL Debian installed.
std::optional<std::string> binFolder() {
  std::optional<std::string> best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string bin = entry.path().string() + "/bin";
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > bestVersion && ::access((bin + "/postgres").c_str(), X_OK) == 0) {
      best = bin;
      bestVersion = version;
    }
  }
  return best;
}

struct Account {
  uid_t uid;
  gid_t gid;
};

// Who runs the server: the caller unless it is root.
Expected<Account> serverAccount() {
  if (::geteuid() != 0) return Account{::geteuid(), ::getegid()};
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (const char* name : {"postgres", kServiceAccount}) {
      if (const passwd* pw = ::getpwnam(name)) return Account{pw->pw_uid, pw->pw_gid};
    }
    if (attempt == 0) {
      const std::string command = std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                                  kServiceAccount + " >/dev/null 2>&1";
      if (std::system(command.c_str()) != 0) break;
    }
  }
  return failure("no unprivileged account to run PostgreSQL as (useradd failed)");
}

// Starts `argv` as `account` with its standard output and error on `outFd`.
pid_t spawnAs(const Account& account, const std::vector<std::string>& args, int outFd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::dup2(outFd, STDOUT_FILENO);
  ::dup2(outFd, STDERR_FILENO);
  const int devNull = ::open("/dev/null", O_RDONLY);
  ::dup2(devNull, STDIN_FILENO);
  if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
                           ::setuid(account.uid) != 0)) {
    ::_exit(126);
  }
  // A caller that dies without its destructor (a killed benchmark) takes the
  // server down too; set after setuid(), which clears it. The parent is the
  // thread that called start().
  ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

// Reads a child's output until `needle` appears (or, with no needle, until
// the child closes it); false when the deadline passes first.
bool readUntil(int fd, std::string& output, double seconds, std::string_view needle = {}) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (needle.empty() || output.find(needle) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return needle.empty();
    output.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int waitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Expected<std::unique_ptr<ThrowawayPostgres>> ThrowawayPostgres::start(const std::vector<std::string>& settings) {
  const auto bin = binFolder();
  if (!bin) return failure("PostgreSQL is not installed (Debian package postgresql)");
  auto account = serverAccount();
  if (!account) return std::move(account).error();

  std::unique_ptr<ThrowawayPostgres> pg(new ThrowawayPostgres());
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kx-postgres-XXXXXX";
  if (!::mkdtemp(pattern.data())) return failure("cannot create a temporary folder");
  pg->folder_ = pattern;
  if (::chown(pg->folder_.c_str(), account->uid, account->gid) != 0) {
    return failure("cannot give " + pg->folder_ + " to the PostgreSQL account");
  }
  // The account must reach its folder through the temporary folder's parents.
  const std::string data = pg->folder_ + "/data";

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return failure("cannot create a pipe");
  std::string output;
  const pid_t initdb = spawnAs(*account,
                               {*bin + "/initdb", "-D", data, "-U", kUser, "--auth=trust", "--encoding=UTF8",
                                "--no-locale", "--no-sync"},
                               pipeFds[1]);
  ::close(pipeFds[1]);
  const bool finished = readUntil(pipeFds[0], output, 120);
  ::close(pipeFds[0]);
  if (!finished) ::kill(initdb, SIGKILL);
  if (waitExit(initdb) != 0) return failure("initdb failed: " + output);

  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return failure("cannot create a pipe");
  std::vector<std::string> args = {*bin + "/postgres", "-D", data, "-k", pg->folder_,
                                   "-c", "listen_addresses=", "-c", "fsync=off",
                                   "-c", "synchronous_commit=off", "-c", "full_page_writes=off"};
  for (const std::string& s : settings) {
    args.push_back("-c");
    args.push_back(s);
  }
  pg->server_ = spawnAs(*account, args, pipeFds[1]);
  ::close(pipeFds[1]);
  output.clear();
  const bool ready = readUntil(pipeFds[0], output, 60, "ready to accept connections");
  const int logFd = pipeFds[0];
  pg->logDrain_ = std::thread([logFd] {
    char buffer[4096];
    while (::read(logFd, buffer, sizeof buffer) > 0) {
    }
    ::close(logFd);
  });
  if (!ready) return failure("PostgreSQL did not start: " + output);
  return pg;
}

ThrowawayPostgres::~ThrowawayPostgres() {
  if (server_ > 0) {
    ::kill(server_, SIGINT);  // fast shutdown: disconnects clients, no checkpoint wait
    waitExit(server_);
  }
  if (logDrain_.joinable()) logDrain_.join();
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

std::string ThrowawayPostgres::uri(const std::string& database) const {
  return "postgresql:///" + database + "?host=" + folder_ + "&user=" + kUser;
}

Expected<std::string> ThrowawayPostgres::scalar(const std::string& database, const std::string& sql) {
  PGconn* connection = PQconnectdb(uri(database).c_str());
  std::string error, value;
  if (PQstatus(connection) != CONNECTION_OK) {
    error = PQerrorMessage(connection);
  } else {
    PGresult* r = PQexec(connection, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_TUPLES_OK && PQntuples(r) > 0) value = PQgetvalue(r, 0, 0);
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) error = PQresultErrorMessage(r);
    PQclear(r);
  }
  PQfinish(connection);
  if (!error.empty()) return failure(sql + ": " + error);
  return value;
}

Expected<std::string> ThrowawayPostgres::createDatabase(const std::string& name) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
      })) {
    return failure("not a database name: " + name);
  }
  if (auto created = scalar("postgres", "CREATE DATABASE " + name); !created) return std::move(created).error();
  return uri(name);
}

}  // namespace kx::service::driver
