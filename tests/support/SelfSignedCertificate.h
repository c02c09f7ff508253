#pragma once

#include <filesystem>

#include "tests/support/LoopbackServer.h"

namespace testsupport {

// Makes a fresh P-256 key and a self-signed certificate for the address 127.0.0.1, valid for a
// day, and writes them as "server.pem" and "server.key" into `folder`. The certificate doubles as
// the bundle a client trusts. Throws std::runtime_error when OpenSSL fails.
TlsIdentity makeSelfSignedCertificate(const std::filesystem::path& folder);

}  // namespace testsupport
