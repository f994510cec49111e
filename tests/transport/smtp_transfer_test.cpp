#include "transport/smtp_transfer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/support/loopback_socket.h"
#include "transport/smtp_server.h"
#include "transport/socket_io.h"

namespace tarnhold {
namespace {

std::string MessageId() { return "Message-ID: <new>\r\n"; }

// What a DATA phase made of a stream: the stored text, whether the final line came, and the
// first line the reader hands out after it (a pipelined command).
struct Outcome {
  std::string stored;
  bool ended = false;
  std::string next;
  bool operator==(const Outcome&) const = default;
};

// Sends `stream` in cuts of 1..`max_cut` bytes chosen by `seed` from a thread of its own, then
// closes. Both ends have time-outs, so a fault never hangs a test.
class Peer {
 public:
  Peer(const std::string& stream, std::uint32_t seed, std::size_t max_cut) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    reader_.Reset(fds[0]);
    writer_.Reset(fds[1]);
    SetReceiveTimeoutMs(reader_.Get(), 5000);
    SetSendTimeoutMs(writer_.Get(), 5000);
    sender_ = std::jthread([this, &stream, seed, max_cut] {
      std::mt19937 cuts(seed);
      for (std::size_t at = 0; at < stream.size();) {
        const std::size_t cut = 1 + cuts() % max_cut;
        if (!test::SendText(writer_.Get(), std::string_view(stream).substr(at, cut))) break;
        at += cut;
      }
      ::shutdown(writer_.Get(), SHUT_WR);
    });
  }
  // A sender still blocked on a full socket gives up once the reader end is shut.
  ~Peer() {
    ::shutdown(reader_.Get(), SHUT_RDWR);
    sender_.join();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  [[nodiscard]] int Fd() const { return reader_.Get(); }

 private:
  UniqueFd reader_;
  UniqueFd writer_;
  std::jthread sender_;
};

enum class Path { LineByLine, InBlocks };

// The receiver's DATA loop over `stream` by either path, then the next line the reader gives.
Outcome Receive(Path path, const std::string& stream, std::uint32_t seed, std::size_t max_cut) {
  Peer peer(stream, seed, max_cut);
  LineReader reader;
  DataLineTracker tracker(MessageId);
  Outcome o;
  std::string line;
  std::string_view lines;
  while (!o.ended) {
    const LineRead r = path == Path::LineByLine
                           ? reader.Read(peer.Fd(), line, kSmtpLineBuffer, 0, LineEnd::CrLf)
                           : reader.ReadLines(peer.Fd(), lines, kSmtpLineBuffer - 1, 0);
    if (r.bytes < 1 || r.timed_out) return {};
    if (path == Path::LineByLine) {
      o.ended = tracker.Add(line, r.complete, o.stored);
    } else {
      const DataLineTracker::BlockResult b = tracker.AddBlock(lines, o.stored);
      reader.Skip(b.used);
      o.ended = b.ended;
    }
  }
  (void)reader.Read(peer.Fd(), o.next, kSmtpLineBuffer, 0, LineEnd::CrLf);
  return o;
}

// Random DATA streams built from the pieces that matter: line ends of every kind, dots,
// header fields and long runs.
std::string RandomStream(std::uint32_t seed) {
  static const std::string kPieces[] = {"a", "text ", ".", "..", "\r", "\n", "\r\n", "\r\n",
                                        "\r\n.\r\n", "\n.\n", "Message-Id: <m>", "\r\n\r\n",
                                        std::string(600, 'L'), "\r\r\n"};
  std::mt19937 pick(seed);
  std::string s;
  const int count = 1 + static_cast<int>(pick() % 80);
  for (int i = 0; i < count; ++i) s += kPieces[pick() % std::size(kPieces)];
  return s + "\r\n.\r\nQUIT\r\n";
}

// Reading many lines at once must store exactly what reading line by line stores, end at the
// same line and leave the same bytes for the next command, however the peer's bytes arrive.
TEST(DataBlocks, StoreWhatLineByLineStores) {
  const std::string body = "line one\r\n.leading dot\r\n..stuffed\r\n\r\nlast\r\n";
  const struct {
    const char* name;
    std::string stream;
  } cases[] = {
      {"header without Message-Id", "Subject: a\r\n\r\n" + body + ".\r\nQUIT\r\n"},
      {"Message-Id in any case", "MESSAGE-ID: <a@b>\r\nTo: x\r\n\r\n" + body + ".\r\n"},
      {"no header end", "just text\r\n.\r\nNOOP\r\n"},
      {"bare line ends", "To: x\n\rSubj\r\r\n\r\na\n.\r\nb\r.x\r\n.\n\n.\n\r\n.\r\nRSET\r\n"},
      {"final line only after CR LF", "\r\n" + std::string(1000, 'b') + ".\r\nx.\r\n.\r\n"},
      {"CR filling a piece", "\r\n" + std::string(510, 'y') + "\r\n.\r\nQUIT\r\n"},
      {"line longer than the read-ahead", "\r\n" + std::string(150000, 'z') + "\r\n.\r\n"},
      {"pipelined commands", "\r\nbody\r\n.\r\nMAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"},
      {"cut off before the end", "\r\nbody\r\n.\r"},
  };
  for (const auto& c : cases) {
    for (std::size_t max_cut : {1u, 7u, 100000u}) {
      if (max_cut == 1 && c.stream.size() > 4096) continue;
      SCOPED_TRACE(std::string(c.name) + ", cuts up to " + std::to_string(max_cut));
      const Outcome want = Receive(Path::LineByLine, c.stream, 1, max_cut);
      EXPECT_EQ(Receive(Path::InBlocks, c.stream, 2, max_cut), want);
    }
  }
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("random stream " + std::to_string(seed));
    const std::string stream = RandomStream(seed);
    const Outcome want = Receive(Path::LineByLine, stream, seed, 1 + seed % 50);
    ASSERT_TRUE(want.ended);
    EXPECT_EQ(Receive(Path::InBlocks, stream, seed + 1, 1 + seed % 300), want);
  }
}

}  // namespace
}  // namespace tarnhold
