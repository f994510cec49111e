// The socket client's transfers through a data source and its line sender. They use only the
// client's public Send, Receive and WaitForReceive, so every way of reading the socket stays
// in one place.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "message/data_source.h"
#include "transport/ws_client.h"

namespace tarnhold {
namespace {

constexpr std::size_t kSourceSendPiece = 255;
constexpr std::size_t kSourceReceivePiece = 256;

}  // namespace

int CUT_WSClient::SendFromSource(CDataSource& source) {
  if (GetSocket() < 0) return OnError(kWsNoSocket);
  if (source.Open(kOpenRead) != 0) return OnError(kWsSourceOpenFailed);
  char piece[kSourceSendPiece];
  long total = 0;
  int code = kWsSuccess;
  for (;;) {
    long n = source.Read(piece, sizeof piece);
    if (n <= 0) break;
    if (Send(piece, static_cast<int>(n)) != n) {
      code = kWsSendFailed;
      break;
    }
    total += n;
    if (!SendFileStatus(total) || IsAborted()) {
      code = kWsAborted;
      break;
    }
  }
  source.Close();
  return OnError(code);
}

int CUT_WSClient::ReceiveToSource(CDataSource& source, int open_mode, long timeout_s,
                                  long max_bytes) {
  if (GetSocket() < 0) return OnError(kWsNoSocket);
  if (open_mode != 1 && open_mode != 2) return OnError(kWsBadOpenMode);
  if (source.Open(open_mode == 1 ? kOpenWrite : kOpenAppend) != 0) {
    return OnError(kWsSourceOpenFailed);
  }
  char piece[kSourceReceivePiece];
  long total = 0;
  int code = kWsSuccess;
  for (;;) {
    if (timeout_s > 0 && WaitForReceive(timeout_s, 0) != kWsSuccess) {
      code = kWsReceiveTimedOut;
      break;
    }
    std::size_t want = sizeof piece;
    if (max_bytes > 0) {
      if (total >= max_bytes) break;
      want = std::min<std::size_t>(want, static_cast<std::size_t>(max_bytes - total));
    }
    int n = Receive(piece, static_cast<int>(want));
    if (n == 0) break;
    if (n < 0) {
      code = kWsReceiveFailed;
      break;
    }
    if (source.Write(piece, static_cast<std::size_t>(n)) != n) {
      code = kWsSourceWriteFailed;
      break;
    }
    total += n;
    if (!ReceiveFileStatus(total) || IsAborted()) {
      code = kWsAborted;
      break;
    }
  }
  // Written bytes reach a file only at the close: a failed close is a failed write.
  if (source.Close() != 0 && code == kWsSuccess) code = kWsSourceWriteFailed;
  return OnError(code);
}

int CUT_WSClient::SendLines(const char* text, int length, int line_length) {
  if (text == nullptr) return 0;
  std::string_view rest(text, length > 0 ? static_cast<std::size_t>(length) : std::strlen(text));
  const std::size_t limit =
      line_length > 0 ? static_cast<std::size_t>(line_length) : rest.size() + 1;
  int sent = 0;
  std::string line;
  while (!rest.empty()) {
    // A line is the text up to its own line end (which CR LF replaces), or `limit` characters.
    std::size_t end = std::min(rest.find('\n'), std::min(limit, rest.size()));
    std::size_t taken = end < rest.size() && rest[end] == '\n' ? end + 1 : end;
    std::string_view body = rest.substr(0, end);
    if (taken == end + 1 && !body.empty() && body.back() == '\r') body.remove_suffix(1);
    line.assign(body).append("\r\n");
    if (Send(line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size())) break;
    sent += static_cast<int>(taken);
    rest.remove_prefix(taken);
  }
  return sent;
}

}  // namespace tarnhold
