#include "transport/socket_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "transport/ws_client.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::SendText;

struct StreamPair {
  UniqueFd reader;
  UniqueFd writer;
  StreamPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    reader.Reset(fds[0]);
    writer.Reset(fds[1]);
  }
};

enum class Feed { Whole, ByteByByte };

// Every read until the peer closes, as the text read plus "+" when it did not end a line.
std::vector<std::string> FeedAndRead(const std::string& stream, Feed feed, ReadAhead ahead,
                                     std::size_t size, LineEnd end) {
  StreamPair pair;
  std::jthread writer([&] {
    const std::size_t step = feed == Feed::Whole ? stream.size() : 1;
    for (std::size_t at = 0; at < stream.size(); at += step) {
      SendText(pair.writer.Get(), stream.substr(at, step));
    }
    ::shutdown(pair.writer.Get(), SHUT_WR);
  });
  LineReader reader(ahead);
  std::vector<std::string> out;
  std::string line;
  for (int reads = 0; reads < 10000; ++reads) {
    LineRead r = reader.Read(pair.reader.Get(), line, size, 5, end);
    if (r.bytes == 0) break;
    out.push_back(line + (r.complete ? "" : "+"));
  }
  return out;
}

// Reading ahead must serve exactly the lines and pieces that reading line by line serves,
// whether the peer's bytes come at once or one at a time.
TEST(LineReader, ServesTheSameLinesWhateverTheReadAhead) {
  const struct {
    const char* name;
    std::string stream;
    std::size_t size;
    LineEnd end;
    std::vector<std::string> want;
  } cases[] = {
      {"lone LF is data on CR LF lines", "a\r\nb\nc\r\n", 512, LineEnd::CrLf,
       {"a\r\n", "b\nc\r\n"}},
      {"LF ends client lines; close ends the last piece", "a\nb\r\nc", 512, LineEnd::Lf,
       {"a\n", "b\r\n", "c+"}},
      {"long line in pieces of size - 1", std::string(700, 'x') + "\r\n", 512, LineEnd::CrLf,
       {std::string(511, 'x') + "+", std::string(189, 'x') + "\r\n"}},
      {"CR filling a piece: the LF after it ends the line",
       std::string(510, 'y') + "\r\n.\r\n", 512, LineEnd::CrLf,
       {std::string(510, 'y') + "\r+", "\n", ".\r\n"}},
      {"line exactly filling a piece", std::string(509, 'z') + "\r\nq\r\n", 512, LineEnd::CrLf,
       {std::string(509, 'z') + "\r\n", "q\r\n"}},
      {"one-byte pieces", "ab\r\n", 2, LineEnd::CrLf, {"a+", "b+", "\r+", "\n"}},
      {"CR not before LF is data", "a\rb\r\r\n", 512, LineEnd::CrLf, {"a\rb\r\r\n"}},
  };
  for (const auto& c : cases) {
    for (Feed feed : {Feed::Whole, Feed::ByteByByte}) {
      for (ReadAhead ahead : {ReadAhead::Block, ReadAhead::None}) {
        SCOPED_TRACE(std::string(c.name) + (feed == Feed::Whole ? ", whole" : ", by byte") +
                     (ahead == ReadAhead::Block ? ", block" : ", peek"));
        EXPECT_EQ(FeedAndRead(c.stream, feed, ahead, c.size, c.end), c.want);
      }
    }
  }
}

// What was read ahead past a line is handed to the next reader of the socket, in order.
TEST(LineReader, HandsOnWhatItReadAhead) {
  StreamPair pair;
  SendText(pair.writer.Get(), "DATA\r\nbody one\r\nbody two\r\n");
  LineReader reader;
  std::string line;
  LineRead r = reader.Read(pair.reader.Get(), line, 512, 5, LineEnd::CrLf);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(line, "DATA\r\n");
  // One read took everything waiting: the rest lies in the reader, not on the socket.
  EXPECT_EQ(BytesWaiting(pair.reader.Get()), 0);
  ASSERT_EQ(reader.Buffered(), 20u);
  char rest[8];
  ASSERT_EQ(reader.TakeBuffered(rest, sizeof rest), sizeof rest);
  EXPECT_EQ(std::string(rest, sizeof rest), "body one");
  EXPECT_EQ(reader.Buffered(), 12u);
  r = reader.Read(pair.reader.Get(), line, 512, 5, LineEnd::CrLf);
  EXPECT_EQ(line, "\r\n");
  r = reader.Read(pair.reader.Get(), line, 512, 5, LineEnd::CrLf);
  EXPECT_EQ(line, "body two\r\n");
  EXPECT_EQ(reader.Buffered(), 0u);
}

// A client that reads a line and then the rest of the stream by other calls loses nothing.
TEST(LineReader, ClientReadsAfterALineGetTheBufferedBytesFirst) {
  test::TempRoot root;
  test::LoopbackListener listener;
  CUT_WSClient client;
  ASSERT_EQ(client.Connect(listener.Port(), "127.0.0.1"), kWsSuccess);
  UniqueFd server = listener.Accept();
  ASSERT_TRUE(server.Valid());
  SendText(server.Get(), "+OK here it comes\r\nline 1\r\nline 2\r\n");
  std::string line;
  ASSERT_EQ(client.ReceiveLine(line, 512, 5), 19);
  EXPECT_EQ(client.IsDataWaiting(), 1);
  EXPECT_EQ(client.WaitForReceive(0, 0), kWsSuccess);
  char head[4];
  ASSERT_EQ(client.Receive(head, sizeof head, 5), 4);
  EXPECT_EQ(std::string(head, 4), "line");
  SendText(server.Get(), "line 3\r\n");
  server.Reset();
  const auto file = root / "rest.txt";
  ASSERT_EQ(client.ReceiveToFile(file, 1, 5), kWsSuccess);
  EXPECT_EQ(test::TempRoot::Read(file), " 1\r\nline 2\r\nline 3\r\n");
}

}  // namespace
}  // namespace tarnhold
