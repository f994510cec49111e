#include "platform/item_counter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::TempRoot;
namespace fs = std::filesystem;

// Each step changes the folder as another party would (items made or taken away), then asks
// the counter for its next number.
TEST(ItemCounter, NumberingRule) {
  struct Step {
    std::vector<std::string> add;
    std::vector<std::string> remove;
    std::uint32_t want;
  };
  struct Case {
    const char* name;
    std::vector<std::string> present;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"an empty folder starts at 1", {}, {{{}, {}, 1}, {{"1"}, {}, 2}}},
      {"one past the largest present", {"3", "7", "x9", "010"}, {{{}, {}, 8}}},
      {"restarts at 1 once the folder is empty",
       {},
       {{{}, {}, 1}, {{"1"}, {}, 2}, {{"2"}, {"1", "2"}, 1}}},
      {"the last number gone but others left: goes on",
       {},
       {{{}, {}, 1}, {{"1"}, {}, 2}, {{"2"}, {"2"}, 3}}},
      {"a number made before its turn is not reused", {"4"}, {{{}, {}, 5}, {{"5"}, {"4"}, 6}}},
      {"a full folder has no number left", {"999999999"}, {{{}, {}, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempRoot root;
    fs::create_directories(root / "q");
    for (const std::string& name : c.present) root.Write("q/" + name, "");
    ItemCounter counter(root / "q");
    for (const Step& step : c.steps) {
      for (const std::string& name : step.add) root.Write("q/" + name, "");
      for (const std::string& name : step.remove) fs::remove(root / ("q/" + name));
      EXPECT_EQ(counter.Next(), step.want);
    }
  }
}

TEST(ItemCounter, CollisionMovesPastEverythingPresent) {
  TempRoot root;
  fs::create_directories(root / "q");
  ItemCounter counter(root / "q");
  ASSERT_EQ(counter.Next(), 1u);
  root.Write("q/1", "");
  // Another process made 2 and 5 meanwhile: the counter cannot know until 2 is found taken.
  root.Write("q/2", "");
  root.Write("q/5", "");
  ASSERT_EQ(counter.Next(), 2u);
  EXPECT_EQ(counter.AfterCollision(2), 6u);
  EXPECT_EQ(counter.Next(), 7u);
}

}  // namespace
}  // namespace tarnhold
