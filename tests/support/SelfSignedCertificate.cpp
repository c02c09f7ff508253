#include "tests/support/SelfSignedCertificate.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace testsupport {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

File openForWriting(const std::filesystem::path& path) {
  File file(std::fopen(path.c_str(), "wb"), &std::fclose);
  check(file != nullptr, "open output");
  return file;
}

}  // namespace

TlsIdentity makeSelfSignedCertificate(const std::filesystem::path& folder) {
  Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "key");
  Certificate certificate(X509_new(), &X509_free);
  check(certificate != nullptr, "certificate");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
  X509_set_pubkey(certificate.get(), key.get());
  X509_NAME* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
  addExtension(certificate.get(), NID_subject_alt_name, "IP:127.0.0.1");
  addExtension(certificate.get(), NID_subject_key_identifier, "hash");
  check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "sign");

  TlsIdentity identity{folder / "server.pem", folder / "server.key"};
  check(PEM_write_X509(openForWriting(identity.certificate).get(), certificate.get()) == 1, "write certificate");
  check(PEM_write_PrivateKey(openForWriting(identity.privateKey).get(), key.get(), nullptr, nullptr, 0, nullptr,
                             nullptr) == 1,
        "write key");
  return identity;
}

}  // namespace testsupport
