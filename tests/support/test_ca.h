// A throw-away certificate authority for real-network tests: a fresh P-256 CA
// and a server certificate it signs, written as PEM files into a temporary
// folder that is removed with the object.
//
//   TestCa ca;                      // SAN DNS:localhost, IP:127.0.0.1
//   httplib::SSLServer server(ca.certFile().c_str(), ca.keyFile().c_str());
//   CurlTransport transport(loop, {.extraCaFile = ca.caFile()});
//
// Header-only; a test that includes it links OpenSSL::Crypto.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace kx {

class TestCa {
 public:
  explicit TestCa(std::vector<std::string> dnsNames = {"localhost"}, std::vector<std::string> ipAddresses = {"127.0.0.1"}) {
    Key caKey = newKey();
    Cert ca = newCertificate(caKey.get(), "Kestrelix Test CA");
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, ca.get(), ca.get(), nullptr, nullptr, 0);
    addExtension(ca.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(ca.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), &ctx, NID_subject_key_identifier, "hash");
    sign(ca.get(), caKey.get());

    Key serverKey = newKey();
    Cert server = newCertificate(serverKey.get(), dnsNames.empty() ? "server" : dnsNames.front());
    check(X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())));
    X509V3_set_ctx(&ctx, ca.get(), server.get(), nullptr, nullptr, 0);
    std::string names;
    for (const auto& name : dnsNames) names += (names.empty() ? "DNS:" : ",DNS:") + name;
    for (const auto& ip : ipAddresses) names += (names.empty() ? "IP:" : ",IP:") + ip;
    addExtension(server.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), &ctx, NID_key_usage, "critical,digitalSignature");
    addExtension(server.get(), &ctx, NID_ext_key_usage, "serverAuth");
    addExtension(server.get(), &ctx, NID_subject_key_identifier, "hash");
    addExtension(server.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    if (!names.empty()) addExtension(server.get(), &ctx, NID_subject_alt_name, names.c_str());
    sign(server.get(), caKey.get());

    writeCertificate(caFile(), ca.get());
    writeCertificate(certFile(), server.get());
    writeKey(keyFile(), serverKey.get());
  }
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  std::filesystem::path dir() const { return folder_.path(); }
  std::string caFile() const { return folder_ / "ca.pem"; }
  std::string certFile() const { return folder_ / "server.pem"; }
  std::string keyFile() const { return folder_ / "server-key.pem"; }

 private:
  using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

  static void check(int ok) {
    if (ok != 1) throw std::runtime_error("TestCa: OpenSSL call failed");
  }

  static Key newKey() {
    Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    if (!key) throw std::runtime_error("TestCa: cannot generate a key");
    return key;
  }

  static Cert newCertificate(EVP_PKEY* key, const std::string& commonName) {
    Cert cert(X509_new(), &X509_free);
    if (!cert) throw std::runtime_error("TestCa: X509_new failed");
    check(X509_set_version(cert.get(), X509_VERSION_3));
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), &BN_free);
    check(BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY));
    if (!BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()))) check(0);
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600)) check(0);
    if (!X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400)) check(0);
    check(X509_set_pubkey(cert.get(), key));
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0));
    check(X509_set_issuer_name(cert.get(), name));  // self-issued until signed by a CA
    return cert;
  }

  static void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (!ext) throw std::runtime_error(std::string("TestCa: bad extension ") + value);
    const int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(ok);
  }

  static void sign(X509* cert, EVP_PKEY* key) {
    if (X509_sign(cert, key, EVP_sha256()) <= 0) check(0);
  }

  using File = std::unique_ptr<FILE, decltype(&fclose)>;
  static File open(const std::string& path) {
    File file(std::fopen(path.c_str(), "wb"), &fclose);
    if (!file) throw std::runtime_error("TestCa: cannot write " + path);
    return file;
  }
  static void writeCertificate(const std::string& path, X509* cert) { check(PEM_write_X509(open(path).get(), cert)); }
  static void writeKey(const std::string& path, EVP_PKEY* key) {
    check(PEM_write_PrivateKey(open(path).get(), key, nullptr, nullptr, 0, nullptr, nullptr));
  }

  testing::TempDir folder_{"kx-test-ca"};
};

}  // namespace kx
