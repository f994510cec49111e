#include "sweeper/sweep_record.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

ItemOutcome Quarantined() {
  ItemOutcome o;
  o.rule = 2;
  o.action = kActionQuarantine;
  o.destination = Destination::Quarantine;
  o.area = "junk";
  o.message_id = "<1@x.test>";
  o.sender = "a@x.test";
  o.recipient = "b@y.test";
  o.size = 4096;
  o.rules_applied = {0, 2};
  o.rules_triggered = {2};
  return o;
}

TEST(SweepRecord, OneJsonLineWithEveryField) {
  const std::string line = SweepRecordLine("17", Quarantined(), 12, 0);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto record = nlohmann::json::parse(line);
  EXPECT_EQ(record["queue_item"], "17");
  EXPECT_EQ(record["message_id"], "<1@x.test>");
  EXPECT_EQ(record["sender"], "a@x.test");
  EXPECT_EQ(record["recipient"], "b@y.test");
  EXPECT_EQ(record["rules_applied"], nlohmann::json({0, 2}));
  EXPECT_EQ(record["rules_triggered"], nlohmann::json({2}));
  EXPECT_EQ(record["rule"], 2);
  EXPECT_EQ(record["action"], kActionQuarantine);
  EXPECT_EQ(record["destination"], "quaran/junk");
  EXPECT_EQ(record["size"], 4096);
  EXPECT_EQ(record["elapsed_ms"], 12);
  EXPECT_TRUE(record.contains("time"));
}

TEST(SweepRecord, HostileHeaderCannotBreakTheLine) {
  ItemOutcome o = Quarantined();
  o.message_id = "<\xff\xfe\"\n}{@x>";
  const std::string line = SweepRecordLine("1", o, 0, 0);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_TRUE(nlohmann::json::accept(line));
  EXPECT_EQ(nlohmann::json::parse(line)["sender"], "a@x.test");
}

TEST(SweepRecord, AppendsToTheDatedFile) {
  test::TempRoot root;
  const auto file = root / "Sweep_.json";
  std::tm day{};
  day.tm_year = 2026 - 1900;
  day.tm_mon = 11;
  day.tm_mday = 7;
  day.tm_hour = 12;
  const std::time_t when = std::mktime(&day);
  ASSERT_TRUE(AppendSweepRecord(file, "{\"a\":1}", when));
  ASSERT_TRUE(AppendSweepRecord(file, "{\"a\":2}", when));
  EXPECT_EQ(test::TempRoot::Read(root / "Sweep_07122026.json"), "{\"a\":1}\n{\"a\":2}\n");
  EXPECT_FALSE(AppendSweepRecord(root / "missing/Sweep_.json", "{}", when));
}

}  // namespace
}  // namespace tarnhold
