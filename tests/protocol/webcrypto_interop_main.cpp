// The managed computer's half of the Web Crypto interoperability check:
// webcrypto_interop.mjs runs this program and plays the console. In: the
// console's raw public key, salt and id. Out: our raw key and an envelope for
// it. In: an envelope sealed by Web Crypto and the text it must open to.
#include <iostream>
#include <string>

#include "protocol/json.h"
#include "protocol/session_cipher.h"

namespace {

// The next line's object; empty at the end of input or for anything else.
kx::Json readMessage() {
  std::string line;
  std::getline(std::cin, line);
  return kx::parseJsonObject(line).value_or(kx::Json::object());
}

}  // namespace

int main() {
  const kx::Json hello = readMessage();
  const kx::P256PrivateKey device = kx::P256PrivateKey::generate();
  auto cipher = kx::SessionCipher::create(device, hello.value("publicKey", ""), hello.value("salt", ""),
                                          hello.value("id", ""));
  if (!cipher) {
    std::cerr << "c++: cannot derive the cipher: " << cipher.error().summary() << "\n";
    return 1;
  }
  const std::string offer = R"({"type":"offer","sdp":"v=0\r\n","messageId":"é—1"})";
  const kx::Json reply = {{"publicKey", kx::base64Encode(device.publicKeyX963())},
                          {"envelope", kx::sealToBase64(*cipher, offer).value()}, {"expected", offer}};
  std::cout << kx::dumpJson(reply) << std::endl;
  const kx::Json answer = readMessage();
  if (kx::openFromBase64(*cipher, answer.value("envelope", "")) != answer.value("expected", "")) {
    std::cerr << "c++: no Web Crypto envelope, or it does not open to its text\n";
    return 1;
  }
  return 0;
}
