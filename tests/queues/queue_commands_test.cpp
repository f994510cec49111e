#include "queues/queue_commands.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/locked_file.h"
#include "tests/queues/queue_test_util.h"

namespace tarnhold::queues {
namespace {

TEST(QueueCommandLine, ParsesEachFormAndRefusesTheRest) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    QueueCommand command;
  } cases[] = {
      {{}, true, QueueCommand::Window},
      {{"--root", "/r"}, true, QueueCommand::Window},
      {{"--list", "que", "--json"}, true, QueueCommand::List},
      {{"--json", "--list", "Quarantine\\virus", "--sort"}, true, QueueCommand::List},
      {{"--show", "que/1", "que/2"}, true, QueueCommand::Show},
      {{"--allow", "quaran/junk/1"}, true, QueueCommand::Allow},
      {{"--allow-trust", "quaran/junk/1"}, true, QueueCommand::AllowTrust},
      {{"--delete", "que/1"}, true, QueueCommand::Delete},
      {{"--move", "que/1", "que/2", "--to", "quaran/junk"}, true, QueueCommand::Move},
      {{"--to", "quaran/junk", "--move", "que/1"}, true, QueueCommand::Move},
      {{"--list"}, false, {}},
      {{"--allow"}, false, {}},
      {{"--move", "que/1"}, false, {}},
      {{"--delete", "que/1", "--to", "que"}, false, {}},
      {{"--allow", "que/1", "--delete", "que/2"}, false, {}},
      {{"que/1"}, false, {}},
      {{"--list", "que", "extra"}, false, {}},
      {{"--frobnicate"}, false, {}},
      {{"--root"}, false, {}},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    QueueOptions o;
    std::string error;
    EXPECT_EQ(ParseQueueCommandLine(c.args, o, error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(o.command, c.command);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
}

int RunThqueue(const TempRoot& root, std::vector<std::string> args, std::string& out) {
  args.insert(args.begin(), {"--root", root.Path().string()});
  QueueOptions o;
  std::string error;
  EXPECT_TRUE(ParseQueueCommandLine(args, o, error)) << error;
  std::ostringstream o_out, o_err;
  int code = RunQueueCommand(o, o_out, o_err);
  out = o_out.str() + o_err.str();
  return code;
}

TEST(QueueCommands, ListShowAndActOnePrintedLinePerItem) {
  TempRoot root;
  auto junk = root / "quaran/junk";
  std::filesystem::create_directories(root / "que");
  WriteItem(junk, "1",
            ItemBytes("bob@local.test", "eve@far.test",
                      MessageText("bob@local.test", "Eve\t<eve@far.test>", "Pills")));
  WriteItem(junk, "2",
            ItemBytes("bob@local.test", "eve@far.test",
                      MessageText("bob@local.test", "eve@far.test", "Two")));
  std::string out;
  EXPECT_EQ(RunThqueue(root, {"--list", "Quarantine\\junk", "--sort"}, out), kQueueDone);
  EXPECT_EQ(
      out,
      "Mon, 7 Dec 2026 10:00:00 +0000\t1\tbob@local.test\teve <eve@far.test>\tpills\t"
      "<id-pills@test>\n"
      "Mon, 7 Dec 2026 10:00:00 +0000\t2\tbob@local.test\teve@far.test\ttwo\t<id-two@test>\n");
  EXPECT_EQ(RunThqueue(root, {"--list", "quaran/junk", "--json", "--sort"}, out), kQueueDone);
  EXPECT_NE(
      out.find("{\"date\":\"Mon, 7 Dec 2026 10:00:00 +0000\",\"from\":\"eve <eve@far.test>\""),
      std::string::npos)
      << out;
  EXPECT_EQ(RunThqueue(root, {"--list", "../etc"}, out), kQueueRefused);

  EXPECT_EQ(RunThqueue(root, {"--show", "quaran/junk/2"}, out), kQueueDone);
  EXPECT_NE(out.find("envelope sender: eve@far.test\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nHello.\n"), std::string::npos) << out;

  LockedFile holder;
  std::string error;
  ASSERT_EQ(holder.OpenLocked(junk / "2", Access::ReadWrite, error), LockResult::Locked);
  EXPECT_EQ(
      RunThqueue(root, {"--allow-trust", "Quarantine\\junk 1", "quaran/junk/2", "que/7", "x"}, out),
      kQueueRefused);
  EXPECT_EQ(out,
            "Quarantine\\junk 1: released to que/1; eve@far.test added to the SPAM free senders\n"
            "quaran/junk/2: refused: Access denied: 2 the messages is being currently sent by "
            "Tarnhold SMTP Delivery\n"
            "que/7: refused: The message 7 is no longer in this folder\n"
            "x: refused: not an item name\n");
  holder.Close();
  EXPECT_EQ(RunThqueue(root, {"--move", "quaran/junk/2", "--to", "Send"}, out), kQueueDone);
  EXPECT_EQ(out, "quaran/junk/2: released to que/2\n");
  EXPECT_EQ(RunThqueue(root, {"--delete", "que/1", "que/2"}, out), kQueueDone);
  EXPECT_EQ(out, "que/1: deleted\nque/2: deleted\n");
}

}  // namespace
}  // namespace tarnhold::queues
