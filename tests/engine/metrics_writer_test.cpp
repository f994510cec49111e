#include "engine/metrics_writer.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(MetricsText, CountsAppearUnderTheirLabels) {
  MetricsRegistry m;
  m.Count(Counter::SmtpMessagesReceived, 3);
  m.Count(Counter::DeliveredRemote);
  m.CountSwept(SweptOutcome::Quarantine);
  m.CountRuleTriggered(1);
  m.CountRuleTriggered(1);
  m.CountRuleTriggered(9999);  // beyond the bound: counted, never out of range
  m.CountScan(0, ScanOutcome::Threat);
  CGatewayConfig config("/r");
  config.rules.resize(2);
  config.scanners.resize(1);
  config.scanners[0].Title = "Clam \"AV\"";
  QueueDepths depths{5, 7, 0, {{"junk", 2}}};
  const auto lines = SplitLines(MetricsText(m, depths, config));
  const std::set<std::string> got(lines.begin(), lines.end());
  for (const char* want : {
           "tarnhold_queue_items{folder=\"queproc\"} 5",
           "tarnhold_queue_items{folder=\"que\"} 7",
           "tarnhold_queue_items{folder=\"quaran/junk\"} 2",
           "tarnhold_received_total{source=\"smtp\"} 3",
           "tarnhold_swept_total{outcome=\"quarantine\"} 1",
           "tarnhold_delivery_results_total{result=\"remote\"} 1",
           "tarnhold_rule_triggered_total{rule=\"0\"} 0",
           "tarnhold_rule_triggered_total{rule=\"1\"} 2",
           "tarnhold_scanner_verdicts_total{scanner=\"0\",title=\"Clam "
           "\\\"AV\\\"\",verdict=\"threat\"} 1",
       }) {
    EXPECT_TRUE(got.contains(want)) << want;
  }
  // Every sample follows the TYPE line of its own metric.
  std::string typed;
  for (const std::string& line : lines) {
    if (line.starts_with("# TYPE ")) typed = line.substr(7, line.find(' ', 7) - 7);
    if (line.starts_with("#")) continue;
    EXPECT_EQ(line.substr(0, line.find_first_of("{ ")), typed) << line;
  }
}

TEST(MetricsFile, ReplacedWholeWithoutLeftovers) {
  TempRoot root;
  const auto file = root / "logs/tarnhold.prom";
  root.Write("logs/tarnhold.prom", "old\n");
  ASSERT_EQ(WriteMetricsFile(file, "new 1\n"), MetricsWrite::Written);
  EXPECT_EQ(TempRoot::Read(file), "new 1\n");
  EXPECT_EQ(CountItems(root / "logs"), 0u);  // no temporary file stays
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(root / "logs"))
    ++entries;
  EXPECT_EQ(entries, 1u);
  EXPECT_EQ(WriteMetricsFile(root / "missing/x.prom", "x\n"), MetricsWrite::Failed);
}

TEST(QueueDepths, OnlyNumberedItemsCount) {
  TempRoot root;
  CGatewayConfig config(root.Path());
  (void)config.Load();
  for (const char* name : {"queproc/1", "queproc/22", "queproc/.tmp1", "offpeak/3", "quaran/junk/4",
                           "quaran/junk/5", "quaran/held/6"})
    root.Write(name, "x");
  const QueueDepths d = ReadQueueDepths(config.Layout(), 9);
  EXPECT_EQ(d.processing, 2u);
  EXPECT_EQ(d.send, 9u);
  EXPECT_EQ(d.off_peak, 1u);
  const std::vector<std::pair<std::string, std::size_t>> areas = {
      {"content", 0}, {"errors", 0}, {"held", 1}, {"junk", 2}, {"virus", 0}};
  EXPECT_EQ(d.quarantine, areas);
}

}  // namespace
}  // namespace tarnhold
