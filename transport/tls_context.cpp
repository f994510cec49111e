#include "transport/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarnhold {
namespace {

// A file the context is about to read: a missing or unreadable file gets its own plain cause,
// rather than OpenSSL's "system library" line.
bool Readable(const std::filesystem::path& path, std::string& error, const char* what) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    error = std::string("cannot read the TLS ") + what + " file " + path.string() + ": " +
            std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Sessions are never resumed here: no tickets, so nothing arrives after the handshake that
  // a line read would have to wait through.
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  return ctx;
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

std::string TlsErrorText() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::shared_ptr<const TlsContext> MakeServerTlsContext(const std::filesystem::path& certificate,
                                                       const std::filesystem::path& key,
                                                       std::string& error) {
  ERR_clear_error();
  if (!Readable(certificate, error, "certificate") || !Readable(key, error, "key")) return nullptr;
  SSL_CTX* ctx = NewContext(TLS_server_method());
  if (ctx == nullptr) {
    error = "cannot make a TLS context: " + TlsErrorText();
    return nullptr;
  }
  auto context = std::make_shared<const TlsContext>(ctx);
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate.c_str()) != 1) {
    error = "cannot use the TLS certificate " + certificate.string() + ": " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "cannot use the TLS key " + key.string() + ": " + TlsErrorText();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    error = "the TLS key " + key.string() + " does not belong to the certificate " +
            certificate.string();
    ERR_clear_error();
    return nullptr;
  }
  return context;
}

std::shared_ptr<const TlsContext> ClientTlsContext(TlsVerify verify) {
  // Made on first use: a gateway that never delivers over TLS never reads the CA store.
  static const std::shared_ptr<const TlsContext> plain = [] {
    SSL_CTX* ctx = NewContext(TLS_client_method());
    if (ctx != nullptr) SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx == nullptr ? nullptr : std::make_shared<const TlsContext>(ctx);
  }();
  static const std::shared_ptr<const TlsContext> verifying = [] {
    SSL_CTX* ctx = NewContext(TLS_client_method());
    if (ctx == nullptr) return std::shared_ptr<const TlsContext>();
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(ctx);
    return std::make_shared<const TlsContext>(ctx);
  }();
  return verify == TlsVerify::Yes ? verifying : plain;
}

TlsLoadResult TlsServerCredentials::Load(const std::filesystem::path& certificate,
                                         const std::filesystem::path& key, std::string& error) {
  std::shared_ptr<const TlsContext> fresh;
  TlsLoadResult result = TlsLoadResult::NotWanted;
  if (!certificate.empty() && !key.empty()) {
    fresh = MakeServerTlsContext(certificate, key, error);
    result = fresh ? TlsLoadResult::Loaded : TlsLoadResult::Failed;
  }
  std::scoped_lock lock(mutex_);
  current_ = std::move(fresh);
  return result;
}

std::shared_ptr<const TlsContext> TlsServerCredentials::Current() const {
  std::scoped_lock lock(mutex_);
  return current_;
}

}  // namespace tarnhold
