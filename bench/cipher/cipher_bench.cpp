// Seal + open cost of SessionCipher against the same AES-256-GCM work done
// with bare OpenSSL EVP calls: one reused context per direction, the cipher
// bound once, preallocated buffers, a random nonce per message.
// Usage: kx-bench-cipher [--smoke]. The last line is one JSON object.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/session_cipher.h"

namespace {

// Thread CPU time: on a shared machine, time spent preempted is not ours.
double cpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

struct Baseline {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  EVP_CIPHER_CTX* sealing = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* opening = EVP_CIPHER_CTX_new();
  std::array<uint8_t, 32> key{};
  std::vector<uint8_t> envelope;
  std::vector<uint8_t> plain;

  Baseline(const std::array<uint8_t, 32>& k, size_t size) : key(k), envelope(size + 28), plain(size + 1) {
    EVP_EncryptInit_ex2(sealing, cipher, nullptr, nullptr, nullptr);
    EVP_DecryptInit_ex2(opening, cipher, nullptr, nullptr, nullptr);
  }
  ~Baseline() {
    EVP_CIPHER_CTX_free(sealing);
    EVP_CIPHER_CTX_free(opening);
    EVP_CIPHER_free(cipher);
  }

  // Nonce || ciphertext || tag, then open it again; false on any failure.
  bool sealOpen(const uint8_t* data, size_t size) {
    uint8_t* nonce = envelope.data();
    uint8_t* body = nonce + 12;
    uint8_t* tag = body + size;
    int len = 0;
    int fin = 0;
    if (RAND_bytes(nonce, 12) != 1 || EVP_EncryptInit_ex2(sealing, nullptr, key.data(), nonce, nullptr) != 1 ||
        EVP_EncryptUpdate(sealing, body, &len, data, static_cast<int>(size)) != 1 ||
        EVP_EncryptFinal_ex(sealing, body + len, &fin) != 1 ||
        EVP_CIPHER_CTX_ctrl(sealing, EVP_CTRL_GCM_GET_TAG, 16, tag) != 1) {
      return false;
    }
    if (EVP_DecryptInit_ex2(opening, nullptr, key.data(), nonce, nullptr) != 1 ||
        EVP_DecryptUpdate(opening, plain.data(), &len, body, static_cast<int>(size)) != 1 ||
        EVP_CIPHER_CTX_ctrl(opening, EVP_CTRL_GCM_SET_TAG, 16, tag) != 1 ||
        EVP_DecryptFinal_ex(opening, plain.data() + len, &fin) != 1) {
      return false;
    }
    return true;
  }
};

bool oursSealOpen(const kx::SessionCipher& cipher, const kx::Bytes& message) {
  auto sealed = cipher.encrypt(message);
  if (!sealed) return false;
  auto opened = cipher.decrypt(*sealed);
  return opened && opened->size() == message.size();
}

template <typename F>
double nsPerOp(long iterations, F&& op) {
  const double start = cpuNow();
  for (long i = 0; i < iterations; ++i) {
    if (!op()) {
      std::fprintf(stderr, "seal/open failed\n");
      std::exit(1);
    }
  }
  return (cpuNow() - start) / static_cast<double>(iterations);
}

struct Result {
  double ours;
  double bare;
};

// Alternates the two in rounds so drift of a shared machine hits both;
// reports the median of each.
Result measure(size_t size, int rounds, double roundSeconds, bool smoke) {
  std::array<uint8_t, 32> key{};
  RAND_bytes(key.data(), static_cast<int>(key.size()));
  const kx::SessionCipher cipher = kx::SessionCipher::fromKey(key);
  Baseline bare(key, size);
  const kx::Bytes message = kx::randomBytes(size);

  long iterations = 3;
  if (!smoke) {
    const double probe = nsPerOp(200, [&] { return oursSealOpen(cipher, message); });
    iterations = std::max(10L, static_cast<long>(roundSeconds * 1e9 / probe));
  }
  std::vector<double> ours;
  std::vector<double> base;
  for (int r = 0; r < rounds; ++r) {
    ours.push_back(nsPerOp(iterations, [&] { return oursSealOpen(cipher, message); }));
    base.push_back(nsPerOp(iterations, [&] { return bare.sealOpen(message.data(), message.size()); }));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  return {median(ours), median(base)};
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  const int rounds = smoke ? 1 : 7;
  const double roundSeconds = 0.1;
  const Result small = measure(150, rounds, roundSeconds, smoke);
  const Result large = measure(8192, rounds, roundSeconds, smoke);
  std::printf("seal+open  150 B: SessionCipher %8.0f ns   bare EVP %8.0f ns   ratio %.2f\n", small.ours, small.bare,
              small.ours / small.bare);
  std::printf("seal+open 8 KiB: SessionCipher %8.0f ns   bare EVP %8.0f ns   ratio %.2f\n", large.ours, large.bare,
              large.ours / large.bare);
  std::printf("{\"ratio_150\":%.3f,\"ratio_8k\":%.3f,\"seal_open_ns_150\":%.0f}\n", small.ours / small.bare,
              large.ours / large.bare, small.ours);
  return 0;
}
