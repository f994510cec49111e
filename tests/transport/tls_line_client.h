// A client of the tests of STARTTLS and STLS, on a loopback connection.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "tests/support/loopback_socket.h"
#include "transport/socket_io.h"
#include "transport/tls_stream.h"

namespace tarnhold::test {

// A line client for the receiver and the POP3 server that switches to TLS when told: sends
// command lines, reads CR LF lines with deadlines, never reads past the line it returns.
class TlsLineClient {
 public:
  TlsLineClient(int port, const char* from) : fd_(ConnectLoopback(port, from)) {
    SetReceiveTimeoutMs(fd_.Get(), 5000);
  }
  std::string Line() {
    std::string line;
    LineRead r = reader_.Read(fd_.Get(), line, 1024, 5, LineEnd::CrLf);
    if (!r.complete) return "<none>";
    return line.substr(0, line.size() - 2);
  }
  std::string Ask(std::string_view command) {
    std::string out = std::string(command) + "\r\n";
    if (SendAll(fd_.Get(), out.data(), out.size(), tls_.get()) != static_cast<long>(out.size())) {
      return "<send failed>";
    }
    return Line();
  }
  // An SMTP reply's lines, up to the one without a "-" after its code.
  std::vector<std::string> SmtpReply() {
    std::vector<std::string> lines;
    for (std::string l = Line(); l != "<none>"; l = Line()) {
      lines.push_back(l);
      if (l.size() < 4 || l[3] != '-') break;
    }
    return lines;
  }
  // A POP3 listing's lines after its first line, up to the "." line.
  std::vector<std::string> Listing() {
    std::vector<std::string> lines;
    for (std::string l = Line(); l != "." && l != "<none>"; l = Line()) lines.push_back(l);
    return lines;
  }
  bool StartTls() {
    tls_ = std::make_unique<TlsStream>(fd_.Get(), ClientTlsContext(TlsVerify::No));
    if (tls_->Connect("localhost", 5000) != TlsHandshake::Done) return false;
    reader_.SetTls(tls_.get());
    return true;
  }
  void SendRaw(std::string_view bytes) { ASSERT_TRUE(SendText(fd_.Get(), bytes)); }

 private:
  UniqueFd fd_;
  std::unique_ptr<TlsStream> tls_;
  LineReader reader_{ReadAhead::None};
};

}  // namespace tarnhold::test
