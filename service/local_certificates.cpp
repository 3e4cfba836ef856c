#include "service/local_certificates.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>

#include "runtime/atomic_file.h"

namespace kx::service {

namespace {

constexpr long kAuthorityDays = 3650;
// Leaf certificates are renewed automatically; 397 days is the longest that
// browsers accept.
constexpr long kCertificateDays = 397;
constexpr long kRenewBeforeDays = 30;

struct Free {
  void operator()(X509* x) const { X509_free(x); }
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(BIO* b) const { BIO_free(b); }
  void operator()(BIGNUM* b) const { BN_free(b); }
  void operator()(X509_EXTENSION* e) const { X509_EXTENSION_free(e); }
};
using CertPtr = std::unique_ptr<X509, Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using BioPtr = std::unique_ptr<BIO, Free>;

Error tlsError(std::string what) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    what += ": ";
    what += buf;
  }
  return makeError("Certificate", 1, std::move(what));
}

CertPtr loadCertificate(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    ERR_clear_error();
    return nullptr;
  }
  CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return cert;
}

KeyPtr loadKey(const std::string& path) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    ERR_clear_error();
    return nullptr;
  }
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  return key;
}

constexpr const char* kLocalNamesOnly = "critical,permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255";

// CAs made before the name constraints are replaced.
bool constrained(X509* ca) { return X509_get_ext_by_NID(ca, NID_name_constraints, -1) >= 0; }

bool validLongEnough(X509* cert) {
  time_t horizon = std::time(nullptr) + kRenewBeforeDays * 86400;
  return X509_cmp_time(X509_get0_notAfter(cert), &horizon) > 0;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(size));
}

Status writePem(const std::string& path, X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return tlsError("cannot encode a certificate");
  return writeFileAtomically(path, bioText(bio.get()), 0644);
}

Status writePem(const std::string& path, EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return tlsError("cannot encode a key");
  }
  return writeFileAtomically(path, bioText(bio.get()), 0600);
}

bool addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  std::unique_ptr<X509_EXTENSION, Free> ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` as
// `issuer` (itself when null).
Expected<CertPtr> makeCertificate(EVP_PKEY* key, const char* commonName, long days, X509* issuer,
                                  EVP_PKEY* issuerKey, bool authority) {
  CertPtr cert(X509_new());
  if (!cert) return tlsError("cannot make a certificate");
  X509_set_version(cert.get(), 2);
  std::unique_ptr<BIGNUM, Free> serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()))) {
    return tlsError("cannot make a serial number");
  }
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Kestrelix Remote"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                             0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  const bool ok = authority ? addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
                                  addExtension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                                  // A build that trusts this CA trusts it for the local names only.
                                  addExtension(cert.get(), &ctx, NID_name_constraints, kLocalNamesOnly) &&
                                  addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash")
                            : addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
                                  addExtension(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature") &&
                                  addExtension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth") &&
                                  addExtension(cert.get(), &ctx, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") &&
                                  addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash") &&
                                  addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  if (!ok) return tlsError("cannot add certificate extensions");
  if (X509_sign(cert.get(), issuerKey, EVP_sha256()) == 0) return tlsError("cannot sign a certificate");
  return cert;
}

}  // namespace

Expected<CertificateFiles> ensureLocalCertificates(const std::string& dataDir) {
  CertificateFiles files;
  files.caFile = dataDir + "/ca.pem";
  files.certificateFile = dataDir + "/server.pem";
  files.keyFile = dataDir + "/server-key.pem";
  const std::string caKeyFile = dataDir + "/ca-key.pem";

  CertPtr ca = loadCertificate(files.caFile);
  KeyPtr caKey = loadKey(caKeyFile);
  if (!ca || !caKey || X509_check_private_key(ca.get(), caKey.get()) != 1 || !validLongEnough(ca.get()) ||
      !constrained(ca.get())) {
    ERR_clear_error();
    caKey.reset(EVP_EC_gen("P-256"));
    if (!caKey) return tlsError("cannot make a key");
    auto made = makeCertificate(caKey.get(), "Kestrelix Remote local CA", kAuthorityDays, nullptr, caKey.get(), true);
    if (!made) return std::move(made).error();
    ca = std::move(*made);
    if (Status s = writePem(caKeyFile, caKey.get()); !s) return std::move(s).error();
    if (Status s = writePem(files.caFile, ca.get()); !s) return std::move(s).error();
    files.createdAuthority = true;
  }

  CertPtr cert = loadCertificate(files.certificateFile);
  KeyPtr key = loadKey(files.keyFile);
  const bool usable = cert && key && !files.createdAuthority && X509_check_private_key(cert.get(), key.get()) == 1 &&
                      X509_verify(cert.get(), caKey.get()) == 1 && validLongEnough(cert.get());
  ERR_clear_error();
  if (!usable) {
    key.reset(EVP_EC_gen("P-256"));
    if (!key) return tlsError("cannot make a key");
    auto made = makeCertificate(key.get(), "localhost", kCertificateDays, ca.get(), caKey.get(), false);
    if (!made) return std::move(made).error();
    if (Status s = writePem(files.keyFile, key.get()); !s) return std::move(s).error();
    if (Status s = writePem(files.certificateFile, made->get()); !s) return std::move(s).error();
    files.createdCertificate = true;
  }
  return files;
}

}  // namespace kx::service
