// A private certificate authority for local installations: on first start the
// service creates a CA and a server certificate for "localhost" and 127.0.0.1
// signed by it, so local builds of the app can trust the CA file alone.
#pragma once

#include <string>

#include "runtime/error.h"

namespace kx::service {

struct CertificateFiles {
  std::string caFile;           // DATA/ca.pem: what clients trust
  std::string certificateFile;  // DATA/server.pem
  std::string keyFile;          // DATA/server-key.pem (0600)
  bool createdAuthority = false;
  bool createdCertificate = false;
};

// Uses the files in `dataDir` when they are present, belong together and stay
// valid for at least 30 more days; creates whatever is missing or stale. Keys
// are P-256 and written with permissions 0600.
Expected<CertificateFiles> ensureLocalCertificates(const std::string& dataDir);

}  // namespace kx::service
