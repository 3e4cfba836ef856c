// Load benchmark of kx-service: starts the real binary on loopback, enrolls
// N Macs, opens approved sessions for a tenth of them, then lets every Mac
// poll over its own kept-alive HTTPS connection while the technicians of
// those sessions poll the session status, each as fast as answers come back
// (closed loop). Reports polls per second and latency percentiles for each N;
// the last line is one JSON object.
//
// Clients connect from addresses spread over 127.0.x.y (the service caps
// connections per source address). With --flood T, each size is measured a
// second time while T threads send wrong-password sign-ins as an attacker
// would: a new address every few attempts and a new name every attempt, so
// that neither limit stops the password checks.
//
// usage: kx-bench-service [--seconds S] [--n 100,1000] [--client-threads T] [--technician-share F]
//                         [--service-workers W] [--flood T]
#include <arpa/inet.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/service_process.h"
#include "driver/tls_client.h"
#include "load.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "support/scratch.h"

namespace {

using namespace kx;
using namespace kx::bench;
using namespace kx::service::driver;

constexpr const char* kPassword = "bench-password";

// Loopback source addresses (host order), 200 connections each (under the per-address cap).
in_addr_t sourceAddress(size_t connection) {
  const size_t host = connection / 200;
  return (127u << 24) + static_cast<in_addr_t>((host / 250) << 8) + static_cast<in_addr_t>(2 + host % 250);
}

struct Fleet {
  std::string token;
  std::vector<Mac> macs;  // the first `sessions` are in an approved session
  size_t sessions = 0;
};

// Grows the fleet to `count` Macs, all online, the first `sessionCount` with an
// approved session carrying a few signals each way.
void grow(Fleet& fleet, TlsClient& api, uint16_t port, const std::string& ca, size_t count, size_t sessionCount) {
  // Macs enrolled before had no session; those that get one now are enrolled anew.
  if (sessionCount > fleet.sessions) fleet.macs.resize(std::min(fleet.macs.size(), fleet.sessions));
  enrollMacs(fleet.macs, port, ca, fleet.token, count, sessionCount, 2);
  for (; fleet.sessions < sessionCount; ++fleet.sessions) {
    const Mac& mac = fleet.macs[fleet.sessions];
    // Sealed signals are ~100 to 6000 base64 characters; a few of each size.
    const Json fromMac{{"session", mac.session},
                       {"payloads", {std::string(6000, 'O'), std::string(300, 'C'), std::string(300, 'D')}}};
    must(api.postJson("/api/device/" + mac.id + "/signal", fromMac, mac.key), "signal");
    must(api.postJson("/api/admin/session/" + mac.session + "/signal",
                      Json{{"payloads", {std::string(4000, 'A'), std::string(300, 'E')}}}, fleet.token),
         "signal");
  }
}

// --- the load client ---------------------------------------------------------------

struct Connection {
  LoadConnection link;
  bool technician = false;
  bool connected = false;
  std::string request;   // sent again and again
  size_t written = 0;
  double sentAt = 0;
  bool failed = false;
  uint64_t answered = 0;  // within the counted window
};

struct Tally {
  Histogram latencies;  // device and technician polls
  uint64_t devicePolls = 0;
  uint64_t technicianPolls = 0;
  uint64_t errors = 0;
  uint64_t leastAnswered = UINT64_MAX;  // by one connection: a starved one shows here
};

class LoadClient {
 public:
  LoadClient(uint16_t port, SSL_CTX* ctx) : port_(port), ctx_(ctx), epoll_(epoll_create1(EPOLL_CLOEXEC)) {}
  ~LoadClient() {
    connections_.clear();
    ::close(epoll_);
  }

  void add(std::string request, bool technician) {
    auto c = std::make_unique<Connection>();
    c->request = std::move(request);
    c->technician = technician;
    connections_.push_back(std::move(c));
  }

  // Connects and handshakes every connection; false after `timeout` seconds.
  bool connectAll(double timeout, std::atomic<size_t>& nextSource) {
    for (auto& c : connections_) c->link.open(ctx_, epoll_, c.get(), sourceAddress(nextSource++), port_);
    size_t pending = connections_.size();
    const double deadline = now() + timeout;
    epoll_event events[512];
    while (pending > 0 && now() < deadline) {
      const int n = epoll_wait(epoll_, events, 512, 100);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<Connection*>(events[i].data.ptr);
        if (c->connected || c->failed) continue;
        const LoadConnection::Step step = c->link.handshake();
        if (step == LoadConnection::Step::wait) continue;
        (step == LoadConnection::Step::done ? c->connected : c->failed) = true;
        --pending;
      }
    }
    return pending == 0 && std::none_of(connections_.begin(), connections_.end(), [](auto& c) { return c->failed; });
  }

  // Closed loop for `seconds`; only answers that complete after `warmup`
  // seconds are counted.
  std::unique_ptr<Tally> run(double warmup, double seconds) {
    auto tally = std::make_unique<Tally>();
    const double start = now();
    const double countFrom = start + warmup;
    const double end = countFrom + seconds;
    for (auto& c : connections_) send(*c);
    epoll_event events[512];
    while (now() < end) {
      const int n = epoll_wait(epoll_, events, 512, 50);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<Connection*>(events[i].data.ptr);
        if (!c->failed) drive(*c, *tally, countFrom);
      }
    }
    for (const auto& c : connections_) {
      tally->errors += c->failed ? 1 : 0;
      tally->leastAnswered = std::min(tally->leastAnswered, c->answered);
    }
    return tally;
  }

 private:
  void send(Connection& c) {
    c.written = 0;
    c.sentAt = now();
    if (c.link.write(c.request, c.written) == LoadConnection::Step::failed) c.failed = true;
  }

  void drive(Connection& c, Tally& tally, double countFrom) {
    if (c.link.write(c.request, c.written) == LoadConnection::Step::failed) {
      c.failed = true;
      return;
    }
    // One answer at a time: the next request goes out only after it.
    for (;;) {
      int status = 0;
      std::string body;
      const LoadConnection::Step step = c.link.readAnswer(status, body);
      if (step != LoadConnection::Step::done) {
        c.failed = step == LoadConnection::Step::failed;
        return;
      }
      const double t = now();
      if (t >= countFrom) {
        if (status != 200) ++tally.errors;
        tally.latencies.record(t - c.sentAt);
        ++(c.technician ? tally.technicianPolls : tally.devicePolls);
        ++c.answered;
      }
      send(c);
    }
  }

  uint16_t port_;
  SSL_CTX* ctx_;
  int epoll_;
  std::vector<std::unique_ptr<Connection>> connections_;
};

// CPU seconds (user + system) used so far by a process.
double processCpuSeconds(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (!f) return 0;
  char text[2048] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = 0;
  // Fields after the command name, which is in parentheses: utime is the 12th, stime the 13th.
  const char* p = std::strrchr(text, ')');
  if (!p) return 0;
  unsigned long utime = 0, stime = 0;
  std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
  size_t n = 0;
  double serviceCpuPerPoll = 0;  // microseconds
  double clientCpuPerPoll = 0;
  size_t technicians = 0;
  double pollsPerSecond = 0;
  double devicePollsPerSecond = 0;
  double technicianPollsPerSecond = 0;
  double p50 = 0, p99 = 0;
  uint64_t errors = 0;
  uint64_t leastAnswered = 0;
};

Result measure(uint16_t port, pid_t service, SSL_CTX* ctx, const Fleet& fleet, size_t n, size_t technicians,
               double seconds, int threads) {
  const std::string body = pollBody();
  std::vector<std::unique_ptr<LoadClient>> clients;
  for (int t = 0; t < threads; ++t) clients.push_back(std::make_unique<LoadClient>(port, ctx));
  for (size_t i = 0; i < n; ++i) clients[i % clients.size()]->add(pollRequest(fleet.macs[i], body), false);
  for (size_t i = 0; i < technicians; ++i) {
    clients[i % clients.size()]->add(statusRequest(fleet.macs[i].session, fleet.token), true);
  }
  std::atomic<size_t> nextSource{0};
  for (auto& c : clients) {
    if (!c->connectAll(60, nextSource)) die("could not connect every client");
  }
  std::vector<std::unique_ptr<Tally>> tallies(clients.size());
  std::vector<std::thread> running;
  for (size_t t = 0; t < clients.size(); ++t) {
    running.emplace_back([&, t] { tallies[t] = clients[t]->run(1.0, seconds); });
  }
  // CPU used during the counted window, by the service and by this client.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  const double serviceStart = processCpuSeconds(service), clientStart = selfCpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double serviceCpu = processCpuSeconds(service) - serviceStart;
  const double clientCpu = selfCpuSeconds() - clientStart;
  for (auto& t : running) t.join();

  Tally all;
  for (const auto& t : tallies) {
    all.latencies.add(t->latencies);
    all.devicePolls += t->devicePolls;
    all.technicianPolls += t->technicianPolls;
    all.errors += t->errors;
    all.leastAnswered = std::min(all.leastAnswered, t->leastAnswered);
  }
  Result r;
  r.n = n;
  r.technicians = technicians;
  r.devicePollsPerSecond = static_cast<double>(all.devicePolls) / seconds;
  r.technicianPollsPerSecond = static_cast<double>(all.technicianPolls) / seconds;
  r.pollsPerSecond = r.devicePollsPerSecond + r.technicianPollsPerSecond;
  r.errors = all.errors;
  r.leastAnswered = all.leastAnswered;
  const double polls = static_cast<double>(all.devicePolls + all.technicianPolls);
  if (polls > 0) {
    r.serviceCpuPerPoll = serviceCpu / polls * 1e6;
    r.clientCpuPerPoll = clientCpu / polls * 1e6;
  }
  r.p50 = all.latencies.percentileMs(0.5);
  r.p99 = all.latencies.percentileMs(0.99);
  return r;
}

// Wrong-password sign-ins from 127.0.200+.x, as fast as they are answered,
// until `stop`; counts the answers.
class Flood {
 public:
  Flood(uint16_t port, std::string ca, int threads) {
    for (int t = 0; t < threads; ++t) {
      threads_.emplace_back([this, port, ca, t] {
        size_t address = static_cast<size_t>(t) * 100000;
        uint64_t name = static_cast<uint64_t>(t) << 32;
        while (!stop_) {
          ++address;
          const std::string from =
              "127." + std::to_string(200 + address / 62500 % 50) + "." + std::to_string(address / 250 % 250) + "." +
              std::to_string(2 + address % 250);
          ConnectOptions options;
          options.source = from;
          auto client = TlsClient::connect("127.0.0.1", port, ca, options);
          if (!client) continue;
          // Under the per-address limit of failures, then the next address.
          for (int i = 0; i < 19 && !stop_; ++i) {
            auto reply = (*client)->request(
                "POST", "/native-sign-in",
                "name=flood" + std::to_string(name++) + "&password=wrong&challenge=" + kPkceChallenge + "&state=" + kSignInState,
                "", {{"Content-Type", "application/x-www-form-urlencoded"}});
            if (!reply) break;
            ++(reply->status == 401 ? checked_ : refused_);
          }
        }
      });
    }
  }
  ~Flood() {
    stop_ = true;
    for (auto& t : threads_) t.join();
  }
  uint64_t checked() const { return checked_; }
  uint64_t refused() const { return refused_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> checked_{0};
  std::atomic<uint64_t> refused_{0};
  std::vector<std::thread> threads_;
};

// Division by a whole scale keeps the printed value short (3.32, not 3.3200000000000003).
double rounded(double v, double unit) {
  const double scale = std::round(1 / unit);
  return std::round(v * scale) / scale;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 4;
  int threads = 1;
  double technicianShare = 0.1;
  int floodThreads = 0;
  std::vector<std::string> serveOptions;
  std::vector<size_t> sizes = {100, 1000};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--seconds") {
      seconds = std::max(0.5, std::atof(argv[i + 1]));
    } else if (flag == "--service-workers") {
      serveOptions = {"--workers", argv[i + 1]};
    } else if (flag == "--technician-share") {
      technicianShare = std::clamp(std::atof(argv[i + 1]), 0.0, 1.0);
    } else if (flag == "--flood") {
      floodThreads = std::max(0, std::atoi(argv[i + 1]));
    } else if (flag == "--client-threads") {
      threads = std::max(1, std::atoi(argv[i + 1]));
    } else if (flag == "--n") {
      sizes.clear();
      for (const char* p = argv[i + 1]; *p;) {
        sizes.push_back(std::strtoul(p, const_cast<char**>(&p), 10));
        if (*p == ',') ++p;
        else if (*p) die("--n takes numbers separated by commas");
      }
    } else {
      die("unknown option " + flag);
    }
  }
  std::sort(sizes.begin(), sizes.end());
  ::signal(SIGPIPE, SIG_IGN);
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  const std::string binary = siblingBinary("kx-service");
  kx::testing::TempDir folder("kx-bench-service");
  CommandResult added = runCommand(binary, {"technician", "add", "bench", "--data", folder.path()},
                                   std::string(kPassword) + "\n");
  if (added.exitCode != 0) die("technician add failed: " + added.err);
  auto process = must(ServiceProcess::start(binary, folder.path(), serveOptions), "start kx-service");
  const std::string ca = folder.path() + "/ca.pem";
  auto api = must(TlsClient::connect("localhost", process->port(), ca), "connect");

  SSL_CTX* ctx = clientContext(ca);
  SSL_CTX_set_read_ahead(ctx, 1);

  Fleet fleet;
  fleet.token = must(signInTechnician(*api, "bench", kPassword), "sign-in");

  auto print = [](const Result& r) {
    std::printf("  %.0f polls/s (%.0f device, %.0f technician), p50 %.2f ms, p99 %.2f ms, errors %llu\n"
                "  CPU per poll: service %.1f us, this client %.1f us; fewest answers on one connection %llu\n",
                r.pollsPerSecond, r.devicePollsPerSecond, r.technicianPollsPerSecond, r.p50, r.p99,
                static_cast<unsigned long long>(r.errors), r.serviceCpuPerPoll, r.clientCpuPerPoll,
                static_cast<unsigned long long>(r.leastAnswered));
    std::fflush(stdout);
  };
  std::vector<Result> results;
  std::vector<Result> flooded;
  Json floodSummary = Json::object();
  for (size_t n : sizes) {
    const size_t technicians = static_cast<size_t>(static_cast<double>(n) * technicianShare);
    const double setupStart = now();
    grow(fleet, *api, process->port(), ca, n, technicians);
    std::cout << "N=" << n << ": " << n << " devices polling, " << technicians
              << " technicians polling session status (set-up " << rounded(now() - setupStart, 0.1) << " s)"
              << std::endl;
    Result r = measure(process->port(), process->pid(), ctx, fleet, n, technicians, seconds, threads);
    print(r);
    results.push_back(r);
    if (floodThreads > 0) {
      const double floodStart = now();
      Flood flood(process->port(), ca, floodThreads);
      Result f = measure(process->port(), process->pid(), ctx, fleet, n, technicians, seconds, threads);
      const double floodSeconds = now() - floodStart;
      std::printf("  under a flood of wrong passwords (%.0f checked/s, %.0f refused/s):\n",
                  static_cast<double>(flood.checked()) / floodSeconds,
                  static_cast<double>(flood.refused()) / floodSeconds);
      print(f);
      floodSummary["n" + std::to_string(n)] =
          Json{{"polls_per_s", rounded(f.pollsPerSecond, 1)}, {"p99_ms", rounded(f.p99, 0.01)},
               {"sign_ins_checked_per_s", rounded(static_cast<double>(flood.checked()) / floodSeconds, 1)},
               {"sign_ins_refused_per_s", rounded(static_cast<double>(flood.refused()) / floodSeconds, 1)}};
    }
  }
  SSL_CTX_free(ctx);
  process->terminate();

  Json summary = Json::object();
  for (const Result& r : results) {
    summary["n" + std::to_string(r.n)] = Json{{"polls_per_s", rounded(r.pollsPerSecond, 1)},
                                              {"device_polls_per_s", rounded(r.devicePollsPerSecond, 1)},
                                              {"technician_polls_per_s", rounded(r.technicianPollsPerSecond, 1)},
                                              {"p50_ms", rounded(r.p50, 0.01)},
                                              {"p99_ms", rounded(r.p99, 0.01)},
                                              {"errors", r.errors},
                                              {"service_cpu_us_per_poll", rounded(r.serviceCpuPerPoll, 0.1)},
                                              {"client_cpu_us_per_poll", rounded(r.clientCpuPerPoll, 0.1)}};
  }
  if (!floodSummary.empty()) summary["flood"] = floodSummary;
  std::cout << dumpJson(summary) << std::endl;
  return 0;
}
