// Interoperability check against Node's Web Crypto: node plays the console
// (fresh session key pair, salt, id), this program plays the managed computer.
// Usage: kx-webcrypto-interop <node> <script>. Exit 77 when node is missing.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "protocol/json.h"
#include "protocol/session_cipher.h"

namespace {

constexpr int kSkip = 77;

struct Child {
  pid_t pid = -1;
  FILE* in = nullptr;   // the child's stdin
  FILE* out = nullptr;  // the child's stdout
};

bool spawn(const char* node, const char* script, Child& child) {
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return false;
  child.pid = fork();
  if (child.pid < 0) return false;
  if (child.pid == 0) {
    dup2(toChild[0], STDIN_FILENO);
    dup2(fromChild[1], STDOUT_FILENO);
    close(toChild[0]);
    close(toChild[1]);
    close(fromChild[0]);
    close(fromChild[1]);
    execl(node, node, script, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  child.in = fdopen(toChild[1], "w");
  child.out = fdopen(fromChild[0], "r");
  return child.in && child.out;
}

std::optional<kx::Json> readMessage(FILE* from) {
  char* line = nullptr;
  size_t capacity = 0;
  const ssize_t n = getline(&line, &capacity, from);
  std::optional<kx::Json> message;
  if (n > 0) message = kx::parseJsonObject(std::string_view(line, static_cast<size_t>(n)));
  free(line);
  return message;
}

int waitFor(Child& child) {
  if (child.in) fclose(child.in);
  child.in = nullptr;
  int status = 0;
  if (waitpid(child.pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int fail(Child& child, const std::string& why) {
  std::fprintf(stderr, "c++: %s\n", why.c_str());
  waitFor(child);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* node = argc > 1 ? argv[1] : "";
  if (argc < 3 || node[0] == '\0' || access(node, X_OK) != 0) {
    std::printf("SKIP: node was not found; the Web Crypto interoperability check needs Node 20\n");
    return kSkip;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a node that dies early shows up as a failed write or read
  Child child;
  if (!spawn(node, argv[2], child)) {
    std::fprintf(stderr, "c++: cannot start %s\n", node);
    return 1;
  }

  const auto hello = readMessage(child.out);
  if (!hello) {
    const int rc = waitFor(child);
    if (rc == kSkip) return kSkip;
    std::fprintf(stderr, "c++: node sent no key (exit %d)\n", rc);
    return 1;
  }
  const std::string* peer = kx::jsonString(*hello, "publicKey");
  const std::string* salt = kx::jsonString(*hello, "salt");
  const std::string* id = kx::jsonString(*hello, "id");
  if (!peer || !salt || !id) return fail(child, "malformed first message");

  const kx::P256PrivateKey device = kx::P256PrivateKey::generate();
  auto cipher = kx::SessionCipher::create(device, *peer, *salt, *id);
  if (!cipher) return fail(child, "cannot derive the cipher: " + cipher.error().summary());
  const std::string offer = R"({"type":"offer","sdp":"v=0\r\n","messageId":"é—1"})";
  auto sealed = kx::sealToBase64(*cipher, offer);
  if (!sealed) return fail(child, "cannot seal: " + sealed.error().summary());
  const kx::Json reply = {
      {"publicKey", kx::base64Encode(device.publicKeyX963())}, {"envelope", *sealed}, {"expected", offer}};
  std::fprintf(child.in, "%s\n", kx::dumpJson(reply).c_str());
  std::fflush(child.in);

  const auto answer = readMessage(child.out);
  if (!answer) return fail(child, "node could not open our envelope (see its message)");
  const std::string* envelope = kx::jsonString(*answer, "envelope");
  const std::string* expected = kx::jsonString(*answer, "expected");
  if (!envelope || !expected) return fail(child, "malformed second message");
  const auto opened = kx::openFromBase64(*cipher, *envelope);
  if (!opened) return fail(child, "cannot open the Web Crypto envelope");
  if (*opened != *expected) return fail(child, "opened text differs: " + *opened);

  const int rc = waitFor(child);
  if (rc != 0) {
    std::fprintf(stderr, "c++: node exited with %d\n", rc);
    return 1;
  }
  std::printf("Web Crypto interoperability: both directions open (%s)\n", opened->c_str());
  return 0;
}
