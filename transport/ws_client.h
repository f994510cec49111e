// Blocking socket client (TCP or UDP) with a receive and a send time-out per socket; the
// protocol clients derive from it or own one. Every operation is synchronous on the calling
// thread and reports failures as the result codes below, each passed through OnError so a
// derived class sees every failure in one place. After StartTls every read and write of the
// connection passes through TLS. Nothing here logs. One thread at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "message/data_source.h"
#include "platform/unique_fd.h"
#include "transport/connection_stream.h"
#include "transport/socket_io.h"
#include "transport/tls_context.h"
#include "transport/tls_stream.h"

namespace tarnhold {

// Result codes of the socket client.
enum WsResult : int {
  kWsSuccess = 0,
  kWsError = 1,                 // wait, accept, close or blocking-mode change failed
  kWsConnectTimedOut = 5,       // a connect with a time-out did not complete in time
  kWsHostNotFound = 7,          // ResolveHost found no address
  kWsNoSocket = 15,
  kWsAlreadyConnected = 16,
  kWsSocketFailed = 17,
  kWsBindFailed = 18,
  kWsConnectFailed = 19,
  kWsReceiveTimedOut = 20,
  kWsReceiveFailed = 21,
  kWsSendFailed = 22,
  kWsListenFailed = 23,
  kWsBadOpenMode = 26,          // open mode other than 1 (create) or 2 (append)
  kWsBufferTooSmall = 35,
  kWsSourceOpenFailed = 79,
  kWsSourceWriteFailed = 81,
  kWsAborted = 90,
  kWsHostUnresolved = 92,       // Connect could not resolve its host
};

inline constexpr long kWsDefaultTimeoutMs = 30000;
inline constexpr std::size_t kWsHostTextMax = 30;

class CUT_WSClient {
 public:
  CUT_WSClient();
  CUT_WSClient(const CUT_WSClient&) = delete;
  CUT_WSClient& operator=(const CUT_WSClient&) = delete;
  virtual ~CUT_WSClient();

  // Connects to `host` (dotted address or name) on `port`. `timeout_s` < 0: a plain blocking
  // connect; otherwise the connect may take at most that many seconds (5 when it does not
  // complete). 16 when already connected, 92 when the host cannot be resolved, 17 when no
  // socket can be made, 19 when the connect fails.
  virtual int Connect(unsigned port, std::string_view host, long timeout_s = -1,
                      int family = AF_INET, int type = SOCK_STREAM);
  // Connects from a bound local address and port (0 = any) to a remote address and port.
  virtual int ConnectBound(unsigned local_port, unsigned remote_port,
                           std::string_view local_address, std::string_view remote_address,
                           int family = AF_INET, int type = SOCK_STREAM);
  // Makes a datagram socket bound to `local_address` (empty = any) and `local_port`, whose
  // datagrams go to `remote_host`:`remote_port`.
  virtual int CreateUDPSocket(unsigned local_port, unsigned remote_port,
                              std::string_view remote_host, std::string_view local_address = {});
  // 0, or 1 when socket() fails.
  virtual int CreateSocket(UniqueFd& out, int family, int type, int protocol);
  // Shuts down and closes the connection; 0, or 1 when a shutdown or close failed.
  virtual int CloseConnection();
  // Listens on `port` (0 = any free port; see ListenPort). `address` empty = any.
  virtual int StartListening(unsigned port, int backlog = 5, int family = AF_INET,
                             std::string_view address = {});
  // 0 when a connection waits on the listening socket within `seconds`, else 1.
  virtual int WaitForAccept(long seconds);
  // Takes the next waiting connection as this object's connection; 0 or 1.
  virtual int AcceptConnection();
  // Sends a whole file; 79 when it cannot be opened, 22 when a send fails, 90 when aborted.
  virtual int SendFile(const std::filesystem::path& path);
  // Sends `length` bytes (`length` <= 0: up to the terminating zero). Returns the bytes sent,
  // 0 on failure.
  virtual int Send(const char* data, int length = -1);
  // Sends one datagram to the remote address; `length` becomes the bytes sent.
  virtual int SendTo(const char* data, int& length);
  // 0 when the socket becomes writable within the time given, else 1.
  virtual int WaitForSend(long seconds, long microseconds);
  // Receives into a file until the peer closes; `open_mode` 1 creates or truncates, 2 appends.
  // 20 on a time-out (`timeout_s` > 0), 21 on an error, 81 on a short write, 90 when aborted.
  virtual int ReceiveToFile(const std::filesystem::path& path, int open_mode, long timeout_s = 0,
                            long max_bytes = 0);
  // Returns the bytes received, 0 when the peer closed or `timeout_s` (> 0) passed, -1 on error.
  virtual int Receive(char* buffer, int size, long timeout_s = 0);
  // One LF-ended line of at most `size` - 1 bytes (its LF and any CR before it kept); a
  // longer line comes in pieces. Returns the bytes stored; 0 when nothing arrived.
  virtual int ReceiveLine(std::string& line, int size, long timeout_s = 0);
  // Drops whatever is waiting on the socket; 0.
  virtual int ClearReceiveBuffer();
  // Receives one datagram (the sender becomes the remote address); `length` in: buffer size,
  // out: bytes received. 20 when nothing came within `timeout_s`, 21 on an error.
  virtual int ReceiveFrom(char* buffer, int& length, long timeout_s);
  // 0 when data waits within the time given, else 1.
  virtual int WaitForReceive(long seconds, long microseconds);
  // Every code passes here on its way out.
  virtual int OnError(int code) { return code; }
  // Progress hooks: nonzero to go on.
  virtual int ReceiveFileStatus(long bytes_so_far) { (void)bytes_so_far; return !IsAborted(); }
  virtual int SendFileStatus(long bytes_so_far) { (void)bytes_so_far; return !IsAborted(); }
  // Nonzero to abort the running transfer.
  virtual int IsAborted() { return 0; }

  // Transfers through a data source, built on Send and Receive (ws_client_source.cpp).
  // Sends the whole of `source` (opened for reading and closed here) in pieces of up to 255
  // bytes. 15 without a socket, 79 when the source cannot be opened, 22 when a send fails,
  // 90 when a progress hook or the abort query stops it.
  virtual int SendFromSource(CDataSource& source);
  // Receives into `source` until the peer closes, opening it with `open_mode` 1 (create or
  // truncate) or 2 (append) and closing it here. `timeout_s` > 0: at most that long for each
  // piece to arrive, else 20. `max_bytes` > 0: stops after that many bytes. 15 without a
  // socket, 26 for another open mode, 79 when the source cannot be opened, 21 when a receive
  // fails, 81 on a short write, 90 when a progress hook or the abort query stops it.
  virtual int ReceiveToSource(CDataSource& source, int open_mode, long timeout_s = 0,
                              long max_bytes = 0);
  // Sends `length` bytes of `text` (`length` <= 0: up to the terminating zero) as lines of
  // at most `line_length` characters (<= 0: no limit), each ended by CR LF: a line end of the
  // text ends a line, a longer line is broken. Returns the bytes of `text` sent; fewer than
  // asked when a send failed.
  virtual int SendLines(const char* text, int length, int line_length);

  // Time-outs in milliseconds; stored only when the socket (if any) accepts them.
  int SetReceiveTimeOut(long timeout_ms);
  int SetSendTimeOut(long timeout_ms);
  // 0 blocking, 1 non-blocking; 0 or 1 (failure).
  int SetBlockingMode(int mode);
  // Nonzero when received data waits to be read.
  [[nodiscard]] int IsDataWaiting() const;
  // The socket's send-buffer size, -1 on failure.
  [[nodiscard]] int GetMaxSendBuffer() const;
  // Resolves `name` (the part after its last "@" when it has one) to a dotted address.
  // 0, 7 when the name has no address, 35 when the text would not fit `out_size` bytes with
  // its terminating zero.
  int ResolveHost(std::string_view name, std::string& out, std::size_t out_size = 32);
  [[nodiscard]] static bool IsIPAddress(std::string_view text);
  // False when there is no socket, the socket reports an error, or the peer has closed.
  [[nodiscard]] bool IsConnected();
  [[nodiscard]] int GetSocket() const { return socket_.Get(); }
  // Bytes the line reader took off the socket past the last line and has not handed out: a
  // reader that takes the socket over after ReceiveLine must take these first (Receive and
  // ReceiveToFile do).
  [[nodiscard]] std::size_t BufferedBytes() const { return stream_.Reader().Buffered(); }

  // The client's STARTTLS step, once the server has said go ahead: drops anything the server
  // sent past that reply in clear text, then runs the handshake towards `host` within
  // `timeout_s`. Done: every later byte passes through TLS. Otherwise the connection is
  // unusable; close it.
  [[nodiscard]] TlsHandshake StartTls(std::shared_ptr<const TlsContext> context,
                                      std::string_view host, long timeout_s);
  // The session after a successful StartTls (until the connection closes), else nullptr.
  [[nodiscard]] TlsStream* Tls() const { return stream_.Tls(); }
  // Why the last StartTls failed.
  [[nodiscard]] const std::string& TlsError() const { return stream_.TlsError(); }

  [[nodiscard]] unsigned RemotePort() const { return remote_port_; }
  [[nodiscard]] unsigned LocalPort() const { return local_port_; }
  [[nodiscard]] unsigned ListenPort() const { return listen_port_; }
  [[nodiscard]] const std::string& RemoteHost() const { return remote_host_; }

 private:
  int ApplyTimeouts();
  int FinishConnect(int code);
  void RecordPorts();

  unsigned remote_port_ = 0;
  unsigned local_port_ = 0;
  unsigned listen_port_ = 0;
  std::string remote_host_;
  int protocol_ = 0;
  int family_ = AF_INET;
  int socket_type_ = SOCK_STREAM;
  UniqueFd socket_;
  sockaddr_in remote_address_{};
  UniqueFd listen_socket_;
  sockaddr_in listen_address_{};
  int blocking_mode_ = 0;
  long send_timeout_ms_ = kWsDefaultTimeoutMs;
  long receive_timeout_ms_ = kWsDefaultTimeoutMs;
  ConnectionStream stream_;
};

}  // namespace tarnhold
