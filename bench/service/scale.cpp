// Scale run of kx-service as a company would host it: a throwaway PostgreSQL,
// two replicas sharing it, HAProxy in front, and simulated Macs polling at
// their real cadence (every 5 s, every 1 s while in a session), each over its
// own kept-alive HTTPS connection from its own share of 127.0.0.0/8, while
// one technician per session posts signals. Halfway through, one replica is
// killed: HAProxy moves its traffic to the other. Every poll of a Mac in a
// session checks the signals it got: all that were acknowledged, in order,
// each once. The last line is one JSON object.
//
// usage: kx-scale [--devices N] [--seconds S] [--session-share F] [--kill-at S|none] [--sqlite] [--direct]
//                         [--http-proxy] [--warmup S] [--replicas N]
// (--sqlite: one replica on SQLite; --direct: the Macs talk to the first replica, not through HAProxy;
// --http-proxy: HAProxy ends TLS and shares a few connections to each replica among the Macs, instead
// of passing each Mac's TLS through with a PROXY header; --warmup: seconds before answers count, 6 by
// default, so that every Mac has polled once: longer leaves out the burst of every Mac's first poll, which
// only a replica's start sees; --replicas: how many share PostgreSQL, 2 by default).
// KX_LOAD_DEBUG=1 prints every answer other than 200.
//
// One process holds at most 20,000 descriptors here, so the connections are
// split over load processes and HAProxy instances of at most kPerProcess each.
#include <signal.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "driver/service_process.h"
#include "throwaway_postgres.h"
#include "driver/tls_client.h"
#include "load.h"
#include "support/scratch.h"

namespace {

using namespace kx;
using namespace kx::bench;
using namespace kx::service::driver;

constexpr const char* kPassword = "scale-password";
constexpr size_t kPerProcess = 9000;    // connections per load process and per HAProxy
constexpr size_t kPerAddress = 100;     // devices sharing one loopback source address
constexpr int kAddressCap = 256;        // connections HAProxy allows one source address
// Requests beyond this many at once wait in HAProxy's queue rather than
// opening more connections to a replica whose storage is the bottleneck.
constexpr int kBackendConnections = 32;
constexpr double kIdlePoll = 5, kSessionPoll = 1, kSignalEvery = 2;
constexpr double kWarmup = 6;           // more than one idle period: every Mac has polled (the default)

// --- what one load process reports -------------------------------------------

struct Tally {
  uint64_t polls = 0;               // device polls answered within the counted window
  uint64_t technicianRequests = 0;  // within the counted window
  uint64_t httpErrors = 0;        // answers other than 200, whole run
  uint64_t connectionErrors = 0;  // requests whose connection failed twice, whole run
  uint64_t reconnects = 0;
  uint64_t relays = 0;
  uint64_t signalsLost = 0;        // acknowledged before a poll was sent, missing from its answer
  uint64_t signalsOutOfOrder = 0;  // repeated or out of order in an answer
  Histogram pollLatency;
  Histogram relayLatency;

  void add(const Tally& o) {
    polls += o.polls;
    technicianRequests += o.technicianRequests;
    httpErrors += o.httpErrors;
    connectionErrors += o.connectionErrors;
    reconnects += o.reconnects;
    relays += o.relays;
    signalsLost += o.signalsLost;
    signalsOutOfOrder += o.signalsOutOfOrder;
    pollLatency.add(o.pollLatency);
    relayLatency.add(o.relayLatency);
  }
};

// --- the simulated fleet -----------------------------------------------------

struct Connection {
  enum class State { closed, handshaking, idle, busy };
  State state = State::closed;
  LoadConnection link;
  in_addr_t source = 0;
  bool technician = false;
  size_t mac = 0;          // the Mac polling, or whose session the technician runs
  Connection* peer = nullptr;  // the device of a technician's session, and back
  double next = 0;         // when the next request is due
  std::string out;
  std::string poll;        // device: its poll request, built once
  size_t written = 0;
  double sentAt = 0;
  bool retried = false;
  bool posting = false;    // technician: the request in flight is a signal post
  bool pollSoon = false;   // device: poll as soon as the answer in flight is in
  // Device in a session: posts acknowledged when its poll in flight was sent.
  size_t ackedAtSend = 0;
  // Technician: signals posted so far, when each was sent, how many were acknowledged.
  std::vector<double> postedAt;
  size_t acked = 0;
  size_t seenByDevice = 0;
};

class LoadProcess {
 public:
  LoadProcess(uint16_t port, const std::string& ca, const std::string& pollBody, const std::string& token)
      : port_(port), pollBody_(pollBody), token_(token), epoll_(epoll_create1(EPOLL_CLOEXEC)), ctx_(clientContext(ca)) {}

  // A Mac, and the technician of its session when it has one, both from `source`.
  void addDevice(const Mac& mac, in_addr_t source) {
    auto c = std::make_unique<Connection>();
    c->source = source;
    c->poll = pollRequest(mac, pollBody_);
    macs_.push_back(mac);
    c->mac = macs_.size() - 1;
    connections_.push_back(std::move(c));
    if (!mac.session.empty()) {
      auto t = std::make_unique<Connection>();
      t->technician = true;
      t->mac = macs_.size() - 1;
      t->source = source;
      t->peer = connections_.back().get();
      connections_.back()->peer = t.get();
      connections_.push_back(std::move(t));
    }
  }

  // Opens every connection, a bounded number of handshakes at a time.
  bool connectAll(double timeout) {
    const double deadline = now() + timeout;
    size_t started = 0, done = 0;
    while (done < connections_.size() && now() < deadline) {
      while (started < connections_.size() && started - done < 400) open(*connections_[started++]);
      epoll_event events[512];
      const int n = epoll_wait(epoll_, events, 512, 100);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<Connection*>(events[i].data.ptr);
        if (c->state != Connection::State::handshaking) continue;
        handshake(*c);
        if (c->state == Connection::State::idle) ++done;
        if (c->state == Connection::State::closed) return false;
      }
    }
    return done == connections_.size();
  }

  // Runs from `start` until `end`, counting answers after `countFrom`.
  Tally run(double start, double countFrom, double end) {
    countFrom_ = countFrom;
    // First requests spread evenly over one period, each kind of connection
    // over its own: the Macs in a session come first in the list, and a
    // technician's first request is a post, due every kSignalEvery.
    enum Kind { idleMac, sessionMac, technician };
    const auto kindOf = [&](const Connection& c) {
      return c.technician ? technician : macs_[c.mac].session.empty() ? idleMac : sessionMac;
    };
    std::array<size_t, 3> count{}, placed{};
    for (const auto& c : connections_) ++count[kindOf(*c)];
    const std::array<double, 3> period{kIdlePoll, kSessionPoll, kSignalEvery};
    for (const auto& c : connections_) {
      const Kind kind = kindOf(*c);
      c->next = start + period[kind] * static_cast<double>(placed[kind]++) / static_cast<double>(count[kind]);
      schedule(*c);
    }
    epoll_event events[512];
    while (now() < end) {
      const double t = now();
      while (!timers_.empty() && timers_.top().first <= t) {
        Connection* c = timers_.top().second;
        const double due = timers_.top().first;
        timers_.pop();
        if (due == c->next) act(*c);
      }
      const double wait = timers_.empty() ? 0.05 : std::min(0.05, std::max(0.0, timers_.top().first - now()));
      const int n = epoll_wait(epoll_, events, 512, static_cast<int>(std::ceil(wait * 1000)));
      for (int i = 0; i < n; ++i) readable(*static_cast<Connection*>(events[i].data.ptr));
    }
    return tally_;
  }

 private:
  using Timer = std::pair<double, Connection*>;

  void schedule(Connection& c) { timers_.push({c.next, &c}); }

  void open(Connection& c) {
    c.link.open(ctx_, epoll_, &c, c.source, port_);
    c.state = Connection::State::handshaking;
  }

  void close(Connection& c) {
    c.link.close();
    c.state = Connection::State::closed;
  }

  void handshake(Connection& c) {
    const LoadConnection::Step step = c.link.handshake();
    if (step == LoadConnection::Step::failed) return failed(c);
    if (step == LoadConnection::Step::done) {
      c.state = Connection::State::idle;
      if (!c.out.empty()) send(c);  // a request interrupted by a lost connection
    }
  }

  // The connection broke: reconnect and send the request in flight again,
  // once; a second failure is an error.
  void failed(Connection& c) {
    const bool inFlight = !c.out.empty();
    close(c);
    if (inFlight && c.retried) {
      ++tally_.connectionErrors;
      c.out.clear();
      c.retried = false;
      afterAnswer(c);
      return;
    }
    c.retried = inFlight;
    ++tally_.reconnects;
    open(c);
  }

  void act(Connection& c) {
    if (c.state == Connection::State::busy || c.state == Connection::State::handshaking) return;  // answered later
    const Mac& mac = macs_[c.mac];
    if (c.technician) {
      const double sinceLast = c.postedAt.empty() ? 1e9 : now() - c.postedAt.back();
      c.posting = sinceLast >= kSignalEvery - 0.5;
      if (c.posting) {
        const std::string payload = "s" + std::to_string(c.postedAt.size()) + ":" + std::string(200, 'x');
        c.out = signalRequest(mac.session, token_, Json{{"payloads", {payload}}});
        c.postedAt.push_back(now());
      } else {
        c.out = statusRequest(mac.session, token_);
      }
    } else {
      c.out = c.poll;
      if (c.peer) c.ackedAtSend = c.peer->acked;
    }
    c.retried = false;
    if (c.state == Connection::State::closed) {
      ++tally_.reconnects;
      open(c);
      return;
    }
    send(c);
  }

  void send(Connection& c) {
    c.state = Connection::State::busy;
    c.written = 0;
    c.sentAt = now();
    flush(c);
  }

  void flush(Connection& c) {
    if (c.link.write(c.out, c.written) == LoadConnection::Step::failed) failed(c);
  }

  void readable(Connection& c) {
    if (c.state == Connection::State::handshaking) return handshake(c);
    if (c.state == Connection::State::closed) return;
    if (c.state == Connection::State::busy) flush(c);
    if (c.state != Connection::State::busy && c.state != Connection::State::idle) return;
    int status = 0;
    std::string body;
    const LoadConnection::Step step = c.link.readAnswer(status, body);
    if (step == LoadConnection::Step::done) return answered(c, status == 200, body);
    if (step == LoadConnection::Step::wait) return;
    // Closed while idle (a proxy time-out): reopened when next needed.
    if (c.state == Connection::State::idle) return close(c);
    failed(c);
  }

  void answered(Connection& c, bool ok, std::string_view body) {
    const double t = now();
    if (!ok) ++tally_.httpErrors;
    if (c.technician) {
      if (t >= countFrom_) ++tally_.technicianRequests;
      if (ok && c.posting) {
        ++c.acked;
        // Ask the Mac's side now, as if its poll were waiting: the relay is
        // measured without the poll period.
        Connection& device = *c.peer;
        if (device.state == Connection::State::idle) {
          device.next = t;
          act(device);
        } else {
          device.pollSoon = true;
        }
      }
    } else {
      if (t >= countFrom_) {
        ++tally_.polls;
        tally_.pollLatency.record(t - c.sentAt);
      }
      if (ok && c.peer) checkSignals(c, body, t);
    }
    c.out.clear();
    c.retried = false;
    afterAnswer(c);
  }

  void afterAnswer(Connection& c) {
    if (c.state != Connection::State::closed) c.state = Connection::State::idle;
    const Mac& mac = macs_[c.mac];
    const double period = c.technician || !mac.session.empty() ? kSessionPoll : kIdlePoll;
    if (c.pollSoon) {
      c.pollSoon = false;
      c.next = now();
      act(c);
      return;
    }
    c.next = std::max(c.next + period, now());
    schedule(c);
  }

  // Every acknowledged signal once, in the order posted.
  void checkSignals(Connection& device, std::string_view body, double t) {
    Connection& technician = *device.peer;
    auto parsed = parseJsonObject(std::string(body));
    if (!parsed) return;
    const Json* session = parsed->contains("session") ? &(*parsed)["session"] : nullptr;
    if (!session || !session->contains("signals")) {
      tally_.signalsLost += device.ackedAtSend;
      return;
    }
    size_t i = 0;
    for (const Json& s : (*session)["signals"]) {
      const std::string payload = s.value("payload", "");
      if (payload.rfind("s" + std::to_string(i) + ":", 0) != 0) {
        ++tally_.signalsOutOfOrder;
        return;
      }
      ++i;
    }
    if (i < device.ackedAtSend) tally_.signalsLost += device.ackedAtSend - i;
    for (; technician.seenByDevice < i && technician.seenByDevice < technician.postedAt.size();
         ++technician.seenByDevice) {
      if (t < countFrom_) continue;  // the warm-up's burst is not counted, as for polls
      ++tally_.relays;
      tally_.relayLatency.record(t - technician.postedAt[technician.seenByDevice]);
    }
  }

  uint16_t port_;
  std::string pollBody_;
  std::string token_;
  int epoll_;
  SSL_CTX* ctx_;
  double countFrom_ = 0;
  std::vector<Mac> macs_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  Tally tally_;
};

// --- set-up --------------------------------------------------------------------

std::string signIn(uint16_t port, const std::string& ca) {
  auto api = must(TlsClient::connect("localhost", port, ca), "connect");
  return must(signInTechnician(*api, "scale", kPassword), "sign-in");
}

uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// HAProxy caps connections per source address as the service does. By
// default it passes each Mac's TLS through to a replica, after a PROXY header
// naming the Mac. Ending TLS instead, it keeps a few re-encrypted connections
// to each replica that many Macs share, so it cannot name one Mac per
// connection (a PROXY header makes a connection private to its client).
// A request a dead replica did not answer is sent to the other one.
std::string haproxyConfig(uint16_t port, const std::string& pem, const std::string& ca,
                          const std::vector<uint16_t>& replicas, bool tcp) {
  if (tcp) {
    // Layer 4: TLS end to end, a connection per Mac to its replica; the Mac
    // reconnects when its replica dies and HAProxy sends it to the other.
    std::string c =
        "global\n"
        "  maxconn " + std::to_string(kPerProcess + 300) + "\n"
        // Bytes in and out at a few thousand requests a second: one thread
        // wakes and switches less than two on the two cores everything shares.
        "  nbthread 1\n"
        "defaults\n"
        "  mode tcp\n"
        "  timeout connect 2s\n"
        "  timeout client 120s\n"
        "  timeout server 120s\n"
        "  option redispatch\n"
        "  retries 3\n"
        "frontend macs\n"
        "  bind 127.0.0.1:" + std::to_string(port) + " backlog 4096\n"
        "  stick-table type ip size 100k expire 300s store conn_cur\n"
        "  tcp-request connection track-sc0 src\n"
        "  tcp-request connection reject if { sc0_conn_cur gt " + std::to_string(kAddressCap) + " }\n"
        "  default_backend replicas\n"
        "backend replicas\n"
        "  balance roundrobin\n";
    for (size_t i = 0; i < replicas.size(); ++i) {
      c += "  server r" + std::to_string(i) + " 127.0.0.1:" + std::to_string(replicas[i]) +
           " send-proxy-v2 check inter 1s fall 1 rise 2\n";
    }
    return c;
  }
  std::string c =
      "global\n"
      "  maxconn " + std::to_string(kPerProcess + 300) + "\n"
      "  tune.ssl.cachesize 0\n"
      "defaults\n"
      "  mode http\n"
      "  timeout connect 2s\n"
      "  timeout client 120s\n"
      "  timeout server 30s\n"
      "  timeout queue 30s\n"
      "  timeout http-keep-alive 120s\n"
      // Connections are all opened before the run starts: their first
      // request may come a minute after the handshake.
      "  timeout http-request 120s\n"
      "  option redispatch\n"
      "  retries 3\n"
      "  retry-on all-retryable-errors\n"
      "  http-reuse always\n"
      "frontend macs\n"
      "  bind 127.0.0.1:" + std::to_string(port) + " ssl crt " + pem + " alpn http/1.1 backlog 4096\n"
      "  option http-buffer-request\n"
      "  stick-table type ip size 100k expire 300s store conn_cur\n"
      "  tcp-request connection track-sc0 src\n"
      "  tcp-request connection reject if { sc0_conn_cur gt " + std::to_string(kAddressCap) + " }\n"
      "  default_backend replicas\n"
      "backend replicas\n"
      "  balance roundrobin\n"
      "  option httpchk GET /download\n";
  for (size_t i = 0; i < replicas.size(); ++i) {
    c += "  server r" + std::to_string(i) + " 127.0.0.1:" + std::to_string(replicas[i]) + " ssl verify required ca-file " +
         ca + " verifyhost localhost check inter 1s fall 1 rise 2 maxconn " + std::to_string(kBackendConnections) +
         "\n";
  }
  return c;
}

pid_t startHaproxy(const std::string& config, uint16_t port, const std::string& ca) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execlp("haproxy", "haproxy", "-q", "-db", "-f", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Up when it answers TLS on its port.
  ConnectOptions quick;
  quick.timeoutSeconds = 1;
  const double deadline = now() + 30;
  while (now() < deadline) {
    if (TlsClient::connect("localhost", port, ca, quick).ok()) return pid;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) die("haproxy exited at start (is it installed?)");
    ::poll(nullptr, 0, 20);
  }
  die("haproxy did not start");
}

void readAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, p, size);
    if (n <= 0) die("a load process ended early");
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void writeAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n <= 0) ::_exit(3);
    p += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t devices = 2000;
  double seconds = 30;
  double sessionShare = 0.01;
  double killAt = -1;  // seconds into the counted window; negative: half of it
  double warmup = kWarmup;
  size_t replicaCount = 2;
  bool sqlite = false;
  bool direct = false;  // no HAProxy: every Mac on the first replica
  bool httpProxy = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (flag == "--sqlite" || flag == "--direct" || flag == "--http-proxy") {
      (flag == "--sqlite" ? sqlite : flag == "--direct" ? direct : httpProxy) = true;
      continue;
    }
    ++i;
    if (flag == "--devices") devices = std::max<size_t>(1, std::strtoul(value, nullptr, 10));
    else if (flag == "--seconds") seconds = std::max(5.0, std::atof(value));
    else if (flag == "--warmup") warmup = std::max(kWarmup, std::atof(value));
    else if (flag == "--session-share") sessionShare = std::clamp(std::atof(value), 0.0, 1.0);
    else if (flag == "--replicas") replicaCount = std::clamp<size_t>(std::strtoul(value, nullptr, 10), 1, 8);
    else if (flag == "--kill-at") killAt = std::string(value) == "none" ? 1e18 : std::atof(value);
    else die("unknown option " + flag + " (see the comment at the top of bench/service/scale.cpp)");
  }
  if (killAt < 0) killAt = seconds / 2;
  if (sqlite) replicaCount = 1;
  if (sqlite || direct || replicaCount == 1) killAt = 1e18;
  ::signal(SIGPIPE, SIG_IGN);
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  const std::string binary = siblingBinary("kx-service");
  kx::testing::TempDir folder("kx-scale");
  std::unique_ptr<ThrowawayPostgres> postgres;
  std::vector<std::string> database;
  if (!sqlite) {
    postgres = must(ThrowawayPostgres::start(), "PostgreSQL");
    database = {"--database", must(postgres->createDatabase("kx"), "PostgreSQL")};
  }
  std::vector<std::string> add = {"technician", "add", "scale", "--data", folder.path()};
  add.insert(add.end(), database.begin(), database.end());
  if (CommandResult r = runCommand(binary, add, std::string(kPassword) + "\n"); r.exitCode != 0) {
    die("technician add failed: " + r.err);
  }
  std::vector<std::unique_ptr<ServiceProcess>> replicas;
  std::vector<uint16_t> replicaPorts;
  // HAProxy names each Mac's address in a PROXY header, so the replicas'
  // per-address caps and limits apply to the Macs, not to HAProxy.
  std::vector<std::string> serve = database;
  if (!sqlite && !direct && !httpProxy) serve.insert(serve.end(), {"--trusted-proxies", "127.0.0.1"});
  // Passing TLS through, a replica holds a connection per Mac it serves, and
  // all of them once the other is killed (as far as descriptors allow).
  serve.insert(serve.end(), {"--max-connections", "19000"});
  // Two replicas share the machine's cores: one network thread each wakes
  // less often per request than one per core each.
  if (replicaCount > 1) serve.insert(serve.end(), {"--workers", "1"});
  for (size_t i = 0; i < replicaCount; ++i) {
    replicas.push_back(must(ServiceProcess::start(binary, folder.path(), serve), "start kx-service"));
    replicaPorts.push_back(replicas.back()->port());
  }
  const std::string ca = folder.path() + "/ca.pem";

  const size_t sessions = static_cast<size_t>(std::round(static_cast<double>(devices) * sessionShare));
  const size_t processes = (devices + sessions + kPerProcess - 1) / kPerProcess;
  std::vector<uint16_t> fronts;
  std::vector<pid_t> haproxies;
  if (sqlite || direct) {
    fronts.assign(processes, replicaPorts[0]);
  } else {
    const std::string pem = folder.path() + "/haproxy.pem";
    {
      std::ofstream out(pem);
      out << std::ifstream(folder.path() + "/server.pem").rdbuf() << std::ifstream(folder.path() + "/server-key.pem").rdbuf();
    }
    for (size_t i = 0; i < processes; ++i) {
      const uint16_t port = freePort();
      const std::string config = folder.path() + "/haproxy-" + std::to_string(i) + ".cfg";
      std::ofstream(config) << haproxyConfig(port, pem, ca, replicaPorts, !httpProxy);
      haproxies.push_back(startHaproxy(config, port, ca));
      fronts.push_back(port);
    }
  }

  const double setupStart = now();
  const std::string token = signIn(fronts[0], ca);
  if (token.empty()) die("sign-in failed");
  std::vector<Mac> macs;
  enrollMacs(macs, fronts[0], ca, token, devices, sessions, 4);
  std::cerr << "kx-scale: " << devices << " devices enrolled, " << sessions << " in a session, in "
            << std::round(now() - setupStart) << " s; " << processes << " load process(es)" << std::endl;

  // Each load process: its share of Macs, with their technicians, on its own HAProxy.
  struct Child {
    pid_t pid;
    int toChild;
    int fromChild;
  };
  std::vector<Child> children;
  const std::string body = pollBody();
  for (size_t p = 0; p < processes; ++p) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) die("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(down[1]);
      ::close(up[0]);
      LoadProcess load(fronts[p], ca, body, token);
      for (size_t i = p; i < macs.size(); i += processes) {
        const size_t address = i / kPerAddress;  // 127.1.0.1 onwards
        load.addDevice(macs[i], (127u << 24) + (1u << 16) + static_cast<in_addr_t>(address) + 1);
      }
      const char ready = load.connectAll(300) ? 1 : 0;
      writeAll(up[1], &ready, 1);
      double start = 0;
      readAll(down[0], &start, sizeof start);  // the same steady clock as the parent's
      auto tally = std::make_unique<Tally>(load.run(start, start + warmup, start + warmup + seconds));
      writeAll(up[1], tally.get(), sizeof(Tally));
      ::_exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    children.push_back({pid, down[1], up[0]});
  }
  for (const Child& c : children) {
    char ready = 0;
    readAll(c.fromChild, &ready, 1);
    if (!ready) die("a load process could not open its connections");
  }
  const double start = now() + 0.2;
  for (const Child& c : children) writeAll(c.toChild, &start, sizeof start);

  // Kill a replica mid-run, then wait for the reports.
  bool killed = false;
  const double killTime = start + warmup + killAt;
  Tally all;
  for (const Child& c : children) {
    for (;;) {
      const double t = now();
      const int wait = killed || killTime > t + 3600 ? -1 : static_cast<int>(std::max(0.0, killTime - t) * 1000);
      pollfd p{c.fromChild, POLLIN, 0};
      if (::poll(&p, 1, wait) > 0) break;
      if (!killed && now() >= killTime) {
        ::kill(replicas.back()->pid(), SIGKILL);
        killed = true;
        std::cerr << "kx-scale: replica " << replicaCount - 1 << " killed" << std::endl;
      }
    }
    auto tally = std::make_unique<Tally>();
    readAll(c.fromChild, tally.get(), sizeof(Tally));
    all.add(*tally);
    ::waitpid(c.pid, nullptr, 0);
  }
  for (pid_t h : haproxies) {
    ::kill(h, SIGTERM);
    ::waitpid(h, nullptr, 0);
  }
  for (auto& r : replicas) r->terminate();

  auto round2 = [](double v) { return std::round(v * 100) / 100; };
  const Json summary{{"devices", devices},
                     {"replicas", replicaCount},
                     {"database", sqlite ? "sqlite" : "postgresql"},
                     {"sessions", sessions},
                     {"seconds", seconds},
                     {"warmup_s", warmup},
                     {"polls_per_s", round2(static_cast<double>(all.polls) / seconds)},
                     {"technician_requests_per_s", round2(static_cast<double>(all.technicianRequests) / seconds)},
                     {"p50_ms", all.pollLatency.percentileMs(0.5)},
                     {"p99_ms", all.pollLatency.percentileMs(0.99)},
                     {"relays", all.relays},
                     {"relay_p99_ms", all.relayLatency.percentileMs(0.99)},
                     {"signals_lost", all.signalsLost},
                     {"signals_out_of_order", all.signalsOutOfOrder},
                     {"errors", all.httpErrors + all.connectionErrors},
                     {"http_errors", all.httpErrors},
                     {"connection_errors", all.connectionErrors},
                     {"reconnects", all.reconnects},
                     {"replica_killed_at_s", killed ? Json(killAt) : Json()}};
  std::cout << dumpJson(summary) << std::endl;
  return 0;
}
