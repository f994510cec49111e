// Listening TCP server: one accept thread, one thread per accepted connection, each running a
// CServerConnection made by the derived server. At most kMaxConnections live connections from
// other hosts; connections from 127.0.0.1 are always served. A derived server must call
// Shutdown() in its own destructor, since connection threads call back into it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "transport/connection_stream.h"
#include "transport/socket_io.h"
#include "transport/tls_context.h"
#include "transport/tls_stream.h"
#include "transport/tokens.h"

namespace tarnhold {

class CServerSettings;
class CListenServer;

// Fixed when a server is built; nothing changes it. SMTPMaxIn (the administrator's "Max
// incoming connections") is read into the settings, but the listener does not take its limit
// from there: the fixed 20 is what decides which remote hosts are refused.
inline constexpr int kMaxConnections = 20;
// Connection threads of any origin beyond this are closed at once: a guard against a flood
// from the local host, which the connection limit does not cover.
inline constexpr int kMaxConnectionThreads = 512;
inline constexpr long kConnectionTimeoutMs = 30000;
inline constexpr long kStopWaitMs = 5000;

class CServerConnection {
 public:
  CServerConnection() = default;
  CServerConnection(const CServerConnection&) = delete;
  CServerConnection& operator=(const CServerConnection&) = delete;
  virtual ~CServerConnection() = default;

  // The whole protocol dialogue of the connection.
  virtual void OnConnect();
  // Called instead of OnConnect when the connection limit is reached.
  virtual void OnMaxConnect();
  virtual void OnUnknownCommand() {}
  virtual int OnCanAccept() { return 1; }
  virtual int OnCanContinue() { return 1; }

  // Sends `length` bytes (negative: up to the terminating zero). Bytes sent, or -1.
  int Send(const char* data, int length = -1);
  int Send(std::string_view text);
  // Bytes received, 0 when the peer closed or the time-out passed (`timeout_s` > 0, else the
  // socket's receive time-out). Bytes the line reader already holds come first.
  int Receive(char* buffer, int size, long timeout_s = 0);
  // One CR LF-ended line of at most `size` - 1 bytes, its CR LF kept; a lone LF is data and a
  // longer line comes in pieces. Returns the bytes stored; 0 on close or time-out.
  int ReceiveLine(std::string& line, int size, long timeout_s = 0);
  // Many CR LF-ended lines at once: `lines` views every byte the reader holds up to the last
  // LF, or at least `piece` bytes of one long line (LineReader::ReadLines). Nothing is taken
  // until SkipReceived. Returns the bytes in view; 0 on close or time-out (LineTimedOut).
  int ReceiveLines(std::string_view& lines, int piece, long timeout_s = 0);
  // Takes `count` bytes of the last ReceiveLines view; the rest is read next.
  void SkipReceived(std::size_t count) { stream_.Reader().Skip(count); }
  // True when the last ReceiveLine stored the end of a line (not a piece of a longer line).
  [[nodiscard]] bool LineComplete() const { return line_complete_; }
  // True when the last ReceiveLine ended because the peer sent nothing more in time.
  [[nodiscard]] bool LineTimedOut() const { return line_timed_out_; }
  // 0 when data waits within the time given, else 1.
  int WaitForReceive(long seconds, long microseconds);
  [[nodiscard]] int IsDataWaiting() const;
  // Drops what the line reader holds and whatever waits on the socket.
  int ClearReceiveBuffer();
  // Bytes the line reader took off the socket past the last line and has not handed out: a
  // reader that takes the socket over after a line read must take these first (Receive does).
  [[nodiscard]] std::size_t BufferedBytes() const { return stream_.Reader().Buffered(); }
  int SetReceiveTimeOut(long timeout_ms);
  int SetSendTimeOut(long timeout_ms);

  // The STARTTLS step: drops whatever the client sent after the command in clear text (it is
  // never run), then runs the handshake within the socket's receive time-out. Done: every
  // later byte passes through TLS. Otherwise the connection is unusable and must end.
  [[nodiscard]] TlsHandshake StartTls(std::shared_ptr<const TlsContext> context);
  // The session after a successful StartTls, else nullptr.
  [[nodiscard]] const TlsStream* Tls() const { return stream_.Tls(); }
  // Why the last StartTls failed.
  [[nodiscard]] const std::string& TlsError() const { return stream_.TlsError(); }

  [[nodiscard]] int Socket() const { return socket_; }
  [[nodiscard]] const sockaddr_in& PeerAddress() const { return peer_; }
  // The peer's IPv4 address in dotted form.
  [[nodiscard]] std::string PeerDotted() const;
  [[nodiscard]] CListenServer* Server() const { return server_; }

  // The `index`-th token of a command line read as a number, as the shared GetTokenNumber
  // (transport/tokens.h) reads it: 0 found, 1 not (`out` is then 0).
  [[nodiscard]] static int GetTokenNumber(std::string_view text, std::string_view delimiters,
                                          int index, long& out) {
    return tarnhold::GetTokenNumber(text, delimiters, index, out);
  }

 private:
  friend class CListenServer;
  int socket_ = -1;
  sockaddr_in peer_{};
  int listen_socket_ = -1;
  CListenServer* server_ = nullptr;
  ConnectionStream stream_;
  bool line_complete_ = false;
  bool line_timed_out_ = false;
};

class CListenServer {
 public:
  CListenServer();
  CListenServer(const CListenServer&) = delete;
  CListenServer& operator=(const CListenServer&) = delete;
  virtual ~CListenServer();

  virtual int OnStatus() { return 0; }
  virtual int OnError() { return 0; }
  // A new connection object of the derived kind, or nullptr.
  virtual CServerConnection* CreateInstance() = 0;
  // Destroys a connection made by CreateInstance.
  virtual void ReleaseInstance(CServerConnection* connection) = 0;
  virtual int OnCanAccept() { return 1; }
  // The nice value each connection thread takes for itself (0: the process's own). Raising it
  // needs no privilege.
  [[nodiscard]] virtual int SessionNice() const { return 0; }

  // Listens on `port` (0 picks a free port, see Port) on any local address, or on `address`
  // when given, and starts the accept thread. 0, 1 (listening failed) or 2 (no thread).
  int Start(unsigned port, const std::string& address = {});
  // Stops accepting: wakes the accept thread and waits up to kStopWaitMs for it. Connections
  // in progress go on. 0, or 1 when the accept thread did not end in time.
  int Stop();
  // Stop, then end every live connection (their sockets are shut down) and wait for all
  // connection threads. Must run before the derived server's destructor ends.
  void Shutdown();

  // The port listened on, -1 before a start.
  [[nodiscard]] int Port() const { return port_; }
  [[nodiscard]] int LiveConnections() const;
  [[nodiscard]] bool IsRunning() const { return running_; }
  void SetSettings(CServerSettings* settings) { settings_ = settings; }
  [[nodiscard]] CServerSettings* Settings() const { return settings_; }
  // Where sessions take the certificate and key to offer; none set: no TLS.
  void SetTlsCredentials(const TlsServerCredentials* credentials) { tls_ = credentials; }
  // The pair in force now, or nullptr: a session asks once, when it may offer TLS.
  [[nodiscard]] std::shared_ptr<const TlsContext> TlsServerContext() const {
    return tls_ != nullptr ? tls_->Current() : nullptr;
  }

 private:
  struct StartRecord;
  struct LiveEntry {
    CServerConnection* connection;
    std::thread::id thread;
    int socket;
  };

  // Bookkeeping of the threads themselves, so Stop and Shutdown can wait with a deadline. Each
  // thread holds a share, so its last notify never touches a server that is already gone.
  struct ThreadBook {
    std::mutex mutex;
    std::condition_variable cv;
    int connection_threads = 0;
    bool accept_done = true;
    void ConnectionEnded();
  };

  void AcceptLoop(std::shared_ptr<ThreadBook> book);
  void RunConnection(std::unique_ptr<StartRecord> record, std::shared_ptr<ThreadBook> book);

  UniqueFd listen_socket_;
  sockaddr_in listen_address_{};
  int port_ = -1;
  std::thread accept_thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  const int max_connections_ = kMaxConnections;
  std::atomic<int> live_count_{0};
  std::list<LiveEntry> live_;
  std::atomic<bool> closing_{false};
  CServerSettings* settings_ = nullptr;
  const TlsServerCredentials* tls_ = nullptr;
  mutable std::mutex lock_;
  std::shared_ptr<ThreadBook> book_ = std::make_shared<ThreadBook>();
};

}  // namespace tarnhold
