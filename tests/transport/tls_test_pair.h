// A self-signed certificate and its key, made at test time in a folder of the test's own: no
// key material is kept in the tree.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace tarnhold::test {

struct TlsTestPair {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// Writes `<stem>.crt` and `<stem>.key` (PEM, EC P-256) into `folder` for the name `name`;
// empty paths when anything failed.
inline TlsTestPair MakeTlsTestPair(const std::filesystem::path& folder, const std::string& stem,
                                   const std::string& name = "localhost") {
  TlsTestPair pair{folder / (stem + ".crt"), folder / (stem + ".key")};
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key != nullptr && cert != nullptr;
  if (ok) {
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, subject);
    ok = X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    std::FILE* c = std::fopen(pair.certificate.c_str(), "w");
    std::FILE* k = std::fopen(pair.key.c_str(), "w");
    ok = c != nullptr && k != nullptr && PEM_write_X509(c, cert) == 1 &&
         PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c != nullptr) std::fclose(c);
    if (k != nullptr) std::fclose(k);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok ? pair : TlsTestPair{};
}

}  // namespace tarnhold::test
