// kx-netem: emulates a network link for the traffic of one network namespace.
// An iptables NFQUEUE rule hands it every packet; it holds each one for its
// direction's delay behind the rate limiter, drops lost ones, and gives the
// verdict when the packet is due. The two directions of a flow (told apart by
// port order, both ends being on loopback) have a rate limiter and queue each.
//
//   kx-netem [--queue N] [--profile NAME] [--rtt MS] [--jitter MS] [--loss PCT]
//            [--rate KBIT] [--limit PACKETS] [--seed N]
//
// SIGUSR1 starts an outage (every packet lost), SIGUSR2 ends it. Prints
// "ready" once it owns the queue.
// glibc's netinet/in.h must come before the kernel's headers.
#include <netinet/in.h>

#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <compare>
#include <queue>
#include <vector>
#include <string>

#include "link_model.h"

namespace kx::netem {
namespace {

struct Held {
  int64_t dueNs;
  uint32_t id;
  auto operator<=>(const Held&) const = default;
};

struct Emulator {
  std::array<LinkDirection, 2> directions;
  // Soonest due first (jitter can reorder).
  std::priority_queue<Held, std::vector<Held>, std::greater<>> held;
  nfq_q_handle* queue = nullptr;
  uint64_t passed = 0, dropped = 0;
};

int64_t monotonicNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Direction 0 or 1 from the transport ports (lower port first), and the
// packet's length on the wire from the IP header.
std::pair<int, size_t> classify(const unsigned char* ip, int length) {
  if (length < 20) return {0, size_t(std::max(length, 0))};
  int transport = 0, protocol = 0;
  size_t bytes = 0;
  if ((ip[0] >> 4) == 4) {
    transport = (ip[0] & 0x0f) * 4;
    protocol = ip[9];
    bytes = size_t(ip[2]) << 8 | ip[3];
  } else if ((ip[0] >> 4) == 6 && length >= 40) {
    transport = 40;
    protocol = ip[6];
    bytes = (size_t(ip[4]) << 8 | ip[5]) + 40;
  }
  if ((protocol != IPPROTO_UDP && protocol != IPPROTO_TCP) || length < transport + 4) return {0, bytes};
  const unsigned source = unsigned(ip[transport]) << 8 | ip[transport + 1];
  const unsigned destination = unsigned(ip[transport + 2]) << 8 | ip[transport + 3];
  return {source < destination ? 0 : 1, bytes};
}

int onPacket(nfq_q_handle* queue, nfgenmsg*, nfq_data* packet, void* data) {
  auto& emulator = *static_cast<Emulator*>(data);
  const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
  if (!header) return 0;
  const uint32_t id = ntohl(header->packet_id);
  unsigned char* payload = nullptr;
  const int length = nfq_get_payload(packet, &payload);
  const auto [direction, bytes] = classify(payload, length);
  const int64_t now = monotonicNs();
  const auto due = emulator.directions[size_t(direction)].admit(now, bytes);
  if (!due) {
    ++emulator.dropped;
    return nfq_set_verdict(queue, id, NF_DROP, 0, nullptr);
  }
  emulator.held.push({*due, id});
  return 0;
}

// Releases what is due; returns the time of the next release (or -1).
int64_t release(Emulator& emulator) {
  const int64_t now = monotonicNs();
  auto& held = emulator.held;
  while (!held.empty() && held.top().dueNs <= now) {
    nfq_set_verdict(emulator.queue, held.top().id, NF_ACCEPT, 0, nullptr);
    held.pop();
    ++emulator.passed;
  }
  return held.empty() ? -1 : held.top().dueNs;
}

bool numberOption(int argc, char** argv, int& i, const char* name, double& out) {
  if (std::strcmp(argv[i], name) != 0) return false;
  if (i + 1 >= argc) {
    std::fprintf(stderr, "kx-netem: %s needs a value\n", name);
    std::exit(2);
  }
  char* end = nullptr;
  out = std::strtod(argv[++i], &end);
  if (*end != '\0' || out < 0) {
    std::fprintf(stderr, "kx-netem: %s needs a number of at least 0\n", name);
    std::exit(2);
  }
  return true;
}

int run(int argc, char** argv) {
  LinkParameters link;
  double queueNumber = 0, rttMs = -1, jitterMs = -1, seed = 1, limit = double(link.queueLimit);
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--profile") && i + 1 < argc) {
      auto profile = findProfile(argv[++i]);
      if (!profile) {
        std::fprintf(stderr, "kx-netem: no profile %s\n", argv[i]);
        return 2;
      }
      link = profile->link;
    } else if (numberOption(argc, argv, i, "--queue", queueNumber) || numberOption(argc, argv, i, "--rtt", rttMs) ||
               numberOption(argc, argv, i, "--jitter", jitterMs) ||
               numberOption(argc, argv, i, "--loss", link.lossPercent) ||
               numberOption(argc, argv, i, "--rate", link.rateKbits) ||
               numberOption(argc, argv, i, "--limit", limit) || numberOption(argc, argv, i, "--seed", seed)) {
    } else {
      std::fprintf(stderr, "kx-netem: unknown argument %s (see the source's first lines)\n", argv[i]);
      return 2;
    }
  }
  // Figures given for the round trip split evenly between the directions.
  if (rttMs >= 0) link.delayMs = rttMs / 2;
  if (jitterMs >= 0) link.jitterMs = jitterMs / 2;
  link.queueLimit = size_t(limit);

  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

  Emulator emulator{{LinkDirection(link, uint32_t(seed)), LinkDirection(link, uint32_t(seed) + 1)}, {}, nullptr};
  nfq_handle* handle = nfq_open();
  if (!handle) {
    std::fprintf(stderr, "kx-netem: cannot open netfilter queueing: %s\n", std::strerror(errno));
    return 1;
  }
  emulator.queue = nfq_create_queue(handle, uint16_t(queueNumber), onPacket, &emulator);
  // Headers are enough: 64 bytes hold the IP and transport headers' ports.
  if (!emulator.queue || nfq_set_mode(emulator.queue, NFQNL_COPY_PACKET, 64) < 0 ||
      nfq_set_queue_maxlen(emulator.queue, 16384) < 0) {
    std::fprintf(stderr, "kx-netem: cannot bind queue %g: %s\n", queueNumber, std::strerror(errno));
    nfq_close(handle);
    return 1;
  }
  nfnl_rcvbufsiz(nfq_nfnlh(handle), 8 << 20);
  const int queueFd = nfq_fd(handle);
  std::printf("ready\n");
  std::fflush(stdout);

  alignas(8) static char buffer[1 << 16];
  for (bool running = true; running;) {
    const int64_t next = release(emulator);
    timespec wait{};
    timespec* timeout = nullptr;
    if (next >= 0) {
      const int64_t in = std::max<int64_t>(0, next - monotonicNs());
      wait = {time_t(in / 1'000'000'000), long(in % 1'000'000'000)};
      timeout = &wait;
    }
    pollfd fds[2] = {{queueFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      // Drain what is there; a full socket buffer (ENOBUFS) only loses packets.
      for (;;) {
        const ssize_t n = recv(queueFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) break;
        nfq_handle_packet(handle, buffer, int(n));
      }
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signalFd, &info, sizeof info) != sizeof info) continue;
      if (info.ssi_signo == SIGUSR1 || info.ssi_signo == SIGUSR2) {
        for (auto& d : emulator.directions) d.setOutage(info.ssi_signo == SIGUSR1);
      } else {
        running = false;
      }
    }
  }
  std::fprintf(stderr, "kx-netem: %llu packets passed, %llu dropped\n",
               static_cast<unsigned long long>(emulator.passed), static_cast<unsigned long long>(emulator.dropped));
  // Packets still held go on: the rule is about to disappear with the namespace.
  for (; !emulator.held.empty(); emulator.held.pop()) {
    nfq_set_verdict(emulator.queue, emulator.held.top().id, NF_ACCEPT, 0, nullptr);
  }
  nfq_destroy_queue(emulator.queue);
  nfq_close(handle);
  return 0;
}

}  // namespace
}  // namespace kx::netem

int main(int argc, char** argv) { return kx::netem::run(argc, argv); }
