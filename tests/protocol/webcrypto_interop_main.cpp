// Interoperability check against Node's Web Crypto: node plays the console
// (fresh session key pair, salt, id), this program plays the managed computer.
// Usage: kx-webcrypto-interop <node> <script>. Exit 77 when node is missing.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "protocol/json.h"
#include "protocol/session_cipher.h"

namespace {

constexpr int kSkip = 77;

std::optional<kx::Json> readMessage(FILE* from) {
  char* line = nullptr;
  size_t capacity = 0;
  const ssize_t n = getline(&line, &capacity, from);
  std::optional<kx::Json> message;
  if (n > 0) message = kx::parseJsonObject(std::string_view(line, static_cast<size_t>(n)));
  free(line);
  return message;
}

}  // namespace

int main(int argc, char** argv) {
  const char* node = argc > 1 ? argv[1] : "";
  if (argc < 3 || node[0] == '\0' || access(node, X_OK) != 0) {
    std::printf("SKIP: node was not found; the Web Crypto interoperability check needs Node 20\n");
    return kSkip;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a node that dies early shows up as a failed write or read
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return 1;
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
    execl(node, node, argv[2], static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  FILE* in = fdopen(toChild[1], "w");
  FILE* out = fdopen(fromChild[0], "r");
  // Closes node's input and returns its exit status.
  auto finish = [&] {
    fclose(in);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "c++: %s (node exit %d)\n", why.c_str(), finish());
    return 1;
  };

  const auto hello = readMessage(out);
  if (!hello) {
    const int rc = finish();
    std::fprintf(stderr, "c++: node sent no key (exit %d)\n", rc);
    return rc == kSkip ? kSkip : 1;
  }
  const std::string* peer = kx::jsonString(*hello, "publicKey");
  const std::string* salt = kx::jsonString(*hello, "salt");
  const std::string* id = kx::jsonString(*hello, "id");
  if (!peer || !salt || !id) return fail("malformed first message");
  const kx::P256PrivateKey device = kx::P256PrivateKey::generate();
  auto cipher = kx::SessionCipher::create(device, *peer, *salt, *id);
  if (!cipher) return fail("cannot derive the cipher: " + cipher.error().summary());
  const std::string offer = R"({"type":"offer","sdp":"v=0\r\n","messageId":"é—1"})";
  auto sealed = kx::sealToBase64(*cipher, offer);
  if (!sealed) return fail("cannot seal: " + sealed.error().summary());
  const kx::Json reply = {
      {"publicKey", kx::base64Encode(device.publicKeyX963())}, {"envelope", *sealed}, {"expected", offer}};
  std::fprintf(in, "%s\n", kx::dumpJson(reply).c_str());
  std::fflush(in);

  const auto answer = readMessage(out);
  if (!answer) return fail("node could not open our envelope (see its message)");
  const std::string* envelope = kx::jsonString(*answer, "envelope");
  const std::string* expected = kx::jsonString(*answer, "expected");
  if (!envelope || !expected) return fail("malformed second message");
  const auto opened = kx::openFromBase64(*cipher, *envelope);
  if (!opened) return fail("cannot open the Web Crypto envelope");
  if (*opened != *expected) return fail("opened text differs: " + *opened);
  if (const int rc = finish(); rc != 0) {
    std::fprintf(stderr, "c++: node exited with %d\n", rc);
    return 1;
  }
  std::printf("Web Crypto interoperability: both directions open (%s)\n", opened->c_str());
  return 0;
}
