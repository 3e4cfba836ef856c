// The managed computer's half of the Web Crypto interoperability check:
// webcrypto_interop.mjs runs this program and plays the console. In: the
// console's raw public key, salt and id. Out: our raw key and an envelope for
// it. In: an envelope sealed by Web Crypto and the text it must open to.
#include <iostream>
#include <optional>
#include <string>

#include "protocol/json.h"
#include "protocol/session_cipher.h"

namespace {

std::optional<kx::Json> readMessage() {
  std::string line;
  std::getline(std::cin, line);
  return kx::parseJsonObject(line);
}

const std::string* field(const std::optional<kx::Json>& message, const char* name) {
  return message ? kx::jsonString(*message, name) : nullptr;
}

}  // namespace

int main() {
  const auto hello = readMessage();
  const std::string* peer = field(hello, "publicKey");
  const std::string* salt = field(hello, "salt");
  const std::string* id = field(hello, "id");
  if (!peer || !salt || !id) return 1;
  const kx::P256PrivateKey device = kx::P256PrivateKey::generate();
  auto cipher = kx::SessionCipher::create(device, *peer, *salt, *id);
  if (!cipher) {
    std::cerr << "c++: cannot derive the cipher: " << cipher.error().summary() << "\n";
    return 1;
  }
  const std::string offer = R"({"type":"offer","sdp":"v=0\r\n","messageId":"é—1"})";
  const kx::Json reply = {{"publicKey", kx::base64Encode(device.publicKeyX963())},
                          {"envelope", kx::sealToBase64(*cipher, offer).value()}, {"expected", offer}};
  std::cout << kx::dumpJson(reply) << std::endl;
  const auto answer = readMessage();
  const std::string* envelope = field(answer, "envelope");
  const std::string* expected = field(answer, "expected");
  if (!envelope || !expected || kx::openFromBase64(*cipher, *envelope) != *expected) {
    std::cerr << "c++: cannot open the Web Crypto envelope\n";
    return 1;
  }
  return 0;
}
