// Interoperability check against Node's Web Crypto: node plays the console
// (fresh session key pair, salt, id), this program plays the managed computer.
// Usage: kx-webcrypto-interop <node> <script>. Exit 77 when node is missing.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "protocol/json.h"
#include "protocol/session_cipher.h"

namespace {

constexpr int kSkip = 77;

// One JSON object a line; nullopt at the end of input or for anything else.
std::optional<kx::Json> readMessage(FILE* from) {
  char line[8192];
  if (!std::fgets(line, sizeof line, from)) return std::nullopt;
  return kx::parseJsonObject(line);
}

// Node's first line names its key, salt and id; we answer with our key and an
// envelope for it to open; it answers with an envelope for us. "" when all worked.
std::string exchange(FILE* toNode, FILE* fromNode) {
  const auto hello = readMessage(fromNode);
  const std::string* peer = hello ? kx::jsonString(*hello, "publicKey") : nullptr;
  const std::string* salt = hello ? kx::jsonString(*hello, "salt") : nullptr;
  const std::string* id = hello ? kx::jsonString(*hello, "id") : nullptr;
  if (!peer || !salt || !id) return "node sent no key";
  const kx::P256PrivateKey device = kx::P256PrivateKey::generate();
  auto cipher = kx::SessionCipher::create(device, *peer, *salt, *id);
  if (!cipher) return "cannot derive the cipher: " + cipher.error().summary();
  const std::string offer = R"({"type":"offer","sdp":"v=0\r\n","messageId":"é—1"})";
  const kx::Json reply = {{"publicKey", kx::base64Encode(device.publicKeyX963())},
                          {"envelope", kx::sealToBase64(*cipher, offer).value()}, {"expected", offer}};
  std::fprintf(toNode, "%s\n", kx::dumpJson(reply).c_str());
  std::fflush(toNode);
  const auto answer = readMessage(fromNode);
  const std::string* envelope = answer ? kx::jsonString(*answer, "envelope") : nullptr;
  const std::string* expected = answer ? kx::jsonString(*answer, "expected") : nullptr;
  if (!envelope || !expected) return "node could not open our envelope (see its message)";
  if (kx::openFromBase64(*cipher, *envelope) != *expected) return "cannot open the Web Crypto envelope";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || access(argv[1], X_OK) != 0) {
    std::printf("SKIP: node was not found; the Web Crypto interoperability check needs Node 20\n");
    return kSkip;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a node that dies early shows up as a failed write or read
  int toNode[2], fromNode[2];
  if (pipe(toNode) != 0 || pipe(fromNode) != 0) return 1;
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    dup2(toNode[0], STDIN_FILENO);
    dup2(fromNode[1], STDOUT_FILENO);
    for (int fd : {toNode[0], toNode[1], fromNode[0], fromNode[1]}) close(fd);
    execl(argv[1], argv[1], argv[2], static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toNode[0]);
  close(fromNode[1]);
  FILE* in = fdopen(toNode[1], "w");
  const std::string failure = exchange(in, fdopen(fromNode[0], "r"));
  fclose(in);
  int status = 0;
  const int rc = waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (rc == kSkip) return kSkip;
  if (!failure.empty() || rc != 0) {
    std::fprintf(stderr, "c++: %s (node exit %d)\n", failure.c_str(), rc);
    return 1;
  }
  std::printf("Web Crypto interoperability: both directions open\n");
  return 0;
}
