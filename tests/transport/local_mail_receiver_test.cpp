// Generated mail handed to the gateway's own SMTP receiver, both real: what SendLocalMail and
// CSmtpClient send must arrive in the processing queue as one item per recipient, the
// message stored as sent on the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gateway/queue_item.h"
#include "gateway/server_settings.h"
#include "message/uu_file_list.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/temp_root.h"
#include "transport/local_mail.h"
#include "transport/smtp_client.h"
#include "transport/smtp_server.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Item {
  QueueItemHeader header;
  std::string text;
};

// The gateway's receiver on a fresh data root, on 127.0.0.1 on a free port.
class LocalReceiver {
 public:
  LocalReceiver() {
    fs::create_directories(root_ / "queproc");
    fs::create_directories(root_ / "stat");
    server_.SetSettings(&settings_);
    server_.SetServerNameSource([] { return std::string("gw.test"); });
    EXPECT_EQ(server_.Start(0, "127.0.0.1"), 0);
  }
  ~LocalReceiver() { server_.Stop(); }

  [[nodiscard]] std::uint16_t Port() const { return static_cast<std::uint16_t>(server_.Port()); }
  [[nodiscard]] const test::TempRoot& Root() const { return root_; }

  // The processing items once `count` exist (fewer after 5 seconds), in number order.
  std::vector<Item> Items(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<std::uint32_t> numbers;
    while ((numbers = ListItemNumbers(root_ / "queproc")).size() < count &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    std::vector<Item> items;
    for (std::uint32_t n : numbers) items.push_back(Read(n));
    return items;
  }

 private:
  Item Read(std::uint32_t n) {
    Item item;
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.OpenLocked(root_ / "queproc" / std::to_string(n), Access::ReadOnly, error),
              LockResult::Locked);
    EXPECT_EQ(ReadQueueItemHeader(file, item.header), 0);
    char buffer[4096];
    for (long got; (got = file.Read(buffer, sizeof buffer)) > 0;) item.text.append(buffer, got);
    return item;
  }

  test::TempRoot root_;
  CServerSettings settings_{root_.Path()};
  CSmtpServer server_;
};

TEST(LocalMailIntoReceiver, OneItemPerRecipient) {
  LocalReceiver receiver;
  fs::path reply = receiver.Root().Write("text/reply.txt", "Held for review.\r\n.\r\nThe end\n");
  ASSERT_EQ(SendLocalMail(receiver.Port(), "one@local.test, two@local.test", "admin@gw.test",
                          "RE: Your message", "Hello,", reply),
            kLocalMailSent);
  std::vector<Item> items = receiver.Items(2);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].header.recipient, "one@local.test");
  EXPECT_EQ(items[1].header.recipient, "two@local.test");
  for (const Item& item : items) {
    SCOPED_TRACE(item.header.recipient);
    EXPECT_EQ(item.header.sender, "admin@gw.test");
    EXPECT_TRUE(item.text.starts_with("From: admin@gw.test\r\nTo: " + item.header.recipient +
                                      "\r\nSubject: RE: Your message\r\nDate: "))
        << item.text;
    // The receiver adds the identifier the generated header lacks; the header says that a
    // program wrote the message.
    EXPECT_NE(item.text.find("\r\nMessage-ID: "), std::string::npos);
    EXPECT_NE(item.text.find("\r\nAuto-Submitted: auto-generated\r\n"), std::string::npos);
    // The text is stored as it went over the wire: dot doubled, lines ending in CR LF.
    EXPECT_TRUE(
        item.text.ends_with("\r\n\r\nHello,\r\nHeld for review.\r\n..\r\nThe end\r\n"
                            "\r\n.\r\n"))
        << item.text;
  }
}

TEST(LocalMailIntoReceiver, FilesAfterTheText) {
  LocalReceiver receiver;
  CUuFileList files;
  ASSERT_EQ(files.AddFile(receiver.Root().Write("report.txt", "report body")), 0);
  CSmtpClient client;
  ASSERT_EQ(client.Connect("127.0.0.1", "local", receiver.Port()), kSmtpConnected);
  EXPECT_EQ(client.SendWithFiles("user@local.test", "sender@remote.test", "resent", "body text", "",
                                 files),
            kSmtpSent);
  client.Close();
  std::vector<Item> items = receiver.Items(1);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].header.recipient, "user@local.test");
  EXPECT_NE(items[0].text.find("\r\n\r\nbody text\r\n\r\nbegin 660 report.txt\r\n"),
            std::string::npos)
      << items[0].text;
  EXPECT_TRUE(items[0].text.ends_with("end\r\n\r\n.\r\n")) << items[0].text;
}

TEST(LocalMailIntoReceiver, RefusedWhenTheReceiverIsGone) {
  std::uint16_t port;
  {
    LocalReceiver receiver;
    port = receiver.Port();
  }
  EXPECT_EQ(SendLocalMail(port, "one@local.test", "admin@gw.test", "s", "t"),
            kLocalMailNoConnection);
}

}  // namespace
}  // namespace tarnhold
