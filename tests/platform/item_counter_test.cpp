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
// the counter for its next number, or, when `collided` is set, for the one after that number
// was found taken.
TEST(ItemCounter, NumberingRule) {
  struct Step {
    std::vector<std::string> add;
    std::vector<std::string> remove;
    std::uint32_t want;
    std::uint32_t collided = 0;
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
      // Another process made 2 and 5 meanwhile: the counter cannot know until 2 is found taken.
      {"a collision moves past everything present",
       {},
       {{{}, {}, 1}, {{"1", "2", "5"}, {}, 2}, {{}, {}, 6, 2}, {{}, {}, 7}}},
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
      EXPECT_EQ(step.collided ? counter.AfterCollision(step.collided) : counter.Next(), step.want);
    }
  }
}

}  // namespace
}  // namespace tarnhold
