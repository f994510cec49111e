// TLS settings shared by many connections: the server's certificate and key (read at start and
// again at each reload, kept as an immutable snapshot that a session takes when it begins) and
// the client settings of the delivery. Sessions themselves are tls_stream's. A server without
// a loaded pair simply offers no TLS; nothing here ever refuses a connection.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;

namespace tarnhold {

// One OpenSSL context, freed with the object. Immutable once made, so any number of sessions
// on any threads may use it at once.
class TlsContext {
 public:
  explicit TlsContext(ssl_ctx_st* ctx) : ctx_(ctx) {}
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  ~TlsContext();

  [[nodiscard]] ssl_ctx_st* Get() const { return ctx_; }

 private:
  ssl_ctx_st* ctx_;
};

enum class TlsLoadResult {
  Loaded,      // the pair is in force
  NotWanted,   // no certificate or key file configured: TLS is off
  Failed,      // a file is missing, unreadable, not PEM, or the key does not fit the certificate
};

// Makes a server context from PEM files: `certificate` (the chain, leaf first) and `key`.
// Failed: `error` holds one line naming the file and the cause.
[[nodiscard]] std::shared_ptr<const TlsContext> MakeServerTlsContext(
    const std::filesystem::path& certificate, const std::filesystem::path& key,
    std::string& error);

enum class TlsVerify { No, Yes };

// The client context of the delivery, made once per process. With TlsVerify::Yes the peer's
// chain must lead to the system's CA store and its name must match the host asked for.
[[nodiscard]] std::shared_ptr<const TlsContext> ClientTlsContext(TlsVerify verify);

// The server pair in force. Load replaces it (or drops it) as a whole; a session that already
// took the previous snapshot keeps it to its end.
class TlsServerCredentials {
 public:
  // Empty `certificate` or `key`: TLS off (NotWanted). Failed: TLS off, `error` says why.
  [[nodiscard]] TlsLoadResult Load(const std::filesystem::path& certificate,
                                   const std::filesystem::path& key, std::string& error);
  // The context to offer, or nullptr when no pair is loaded.
  [[nodiscard]] std::shared_ptr<const TlsContext> Current() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const TlsContext> current_;
};

// The text of the first queued OpenSSL error (and the queue cleared), for log lines.
[[nodiscard]] std::string TlsErrorText();

}  // namespace tarnhold
