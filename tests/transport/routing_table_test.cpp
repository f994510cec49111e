#include "transport/routing_table.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

const std::string kParseError =
    ", - check formatting, will use default domain routing preferences";

struct Case {
  const char* name;
  std::string table;
  std::string recipient;
  std::optional<Route> want;
  std::vector<std::string> log;
};

TEST(RoutingTable, FirstMatchingLineWinsAndErrorsEndTheTable) {
  const Case cases[] = {
      {"domain pattern to a relay port",
       "*@relay.test,relay.example.test,2525\n",
       "anna@relay.test",
       Route{"relay.example.test", 2525},
       {"routing table match: will route to relay.example.test on port 2525"}},
      {"blank before the pattern belongs to it and never matches",
       ", *@relay.test,relay.example.test,2525\n",
       "anna@relay.test",
       std::nullopt,
       {}},
      {"space after the comma is part of the pattern",
       " *@relay.test,relay.example.test,2525\n",
       "anna@relay.test",
       std::nullopt,
       {}},
      {"whole address, not only the domain",
       "boss@corp.test,10.0.0.9,25\n*@corp.test,10.0.0.8,25\n",
       "boss@corp.test",
       Route{"10.0.0.9", 25},
       {"routing table match: will route to 10.0.0.9 on port 25"}},
      {"second line matches",
       "boss@corp.test,10.0.0.9,25\n*@corp.test,10.0.0.8,26\n",
       "clerk@corp.test",
       Route{"10.0.0.8", 26},
       {"routing table match: will route to 10.0.0.8 on port 26"}},
      {"comments skipped, CR ignored, runs of commas are one separator",
       ";*@corp.test,wrong,1\r\n*@corp.test,,,right.test,,2525\r\n",
       "a@corp.test",
       Route{"right.test", 2525},
       {"routing table match: will route to right.test on port 2525"}},
      {"empty second line: first line used when it matches",
       "*@corp.test,relay.test,25\n\n*@other.test,x.test,25\n",
       "a@corp.test",
       Route{"relay.test", 25},
       {"routing table match: will route to relay.test on port 25"}},
      {"empty second line: parse error otherwise",
       "*@corp.test,relay.test,25\n\n*@other.test,x.test,25\n",
       "a@other.test",
       std::nullopt,
       {"ERROR: cannot parse line:" + kParseError}},
      {"line with two fields",
       "*@corp.test,relay.test\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:*@corp.test,relay.test" + kParseError}},
      {"port of ten characters",
       "*@corp.test,relay.test,0000000025\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:*@corp.test,relay.test,0000000025" + kParseError}},
      {"port above 65535 is an error, not cut to 16 bits",
       "*@corp.test,relay.test,70000\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:*@corp.test,relay.test,70000" + kParseError}},
      {"port that is no number",
       "*@corp.test,relay.test,smtp\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:*@corp.test,relay.test,smtp" + kParseError}},
      {"port zero",
       "*@corp.test,relay.test,0\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:*@corp.test,relay.test,0" + kParseError}},
      {"blanks around the port are allowed",
       "*@corp.test,relay.test, 2525 \n",
       "a@corp.test",
       Route{"relay.test", 2525},
       {"routing table match: will route to relay.test on port 2525"}},
      {"last line without LF is not examined",
       "*@corp.test,relay.test,25",
       "a@corp.test",
       std::nullopt,
       {}},
      {"pattern of 255 characters is too long",
       std::string(255, 'a') + ",relay.test,25\n",
       "a@corp.test",
       std::nullopt,
       {"ERROR: cannot parse line:" + std::string(255, 'a') + ",relay.test,25" + kParseError}},
      {"a matching line ends the search before a broken one",
       "*@corp.test,relay.test,25\nbroken\n",
       "a@corp.test",
       Route{"relay.test", 25},
       {"routing table match: will route to relay.test on port 25"}},
      {"pattern matched without regard to case",
       "*@CORP.test,relay.test,25\n",
       "A@corp.TEST",
       Route{"relay.test", 25},
       {"routing table match: will route to relay.test on port 25"}},
      {"fourth field asks for verified TLS",
       "*@corp.test,relay.test,25, Verify \n",
       "a@corp.test",
       Route{"relay.test", 25, RouteTls::Verify},
       {"routing table match: will route to relay.test on port 25"}},
      {"fourth field turns TLS off",
       "*@corp.test,relay.test,25,clear\n",
       "a@corp.test",
       Route{"relay.test", 25, RouteTls::Clear},
       {"routing table match: will route to relay.test on port 25"}},
      {"unknown fourth field: the settings apply, with a line",
       "*@corp.test,relay.test,25,verfy\n",
       "a@corp.test",
       Route{"relay.test", 25},
       {"routing table: TLS field verfy not known, the TLS settings apply",
        "routing table match: will route to relay.test on port 25"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RouteSearch got = FindRoute(c.table, c.recipient);
    EXPECT_EQ(got.route, c.want);
    EXPECT_EQ(got.log, c.log);
  }
}

TEST(RoutingTable, HostileTablesGiveABoundedResult) {
  std::string garbage;
  for (int i = 0; i < 100000; ++i) garbage += static_cast<char>(i * 7919 % 256);
  RouteSearch got = FindRoute(garbage, "a@b.test");
  EXPECT_LE(got.log.size(), 1u);
  std::string commas(100000, ',');
  commas += "\n";
  got = FindRoute(commas, "a@b.test");
  EXPECT_FALSE(got.route);
  ASSERT_EQ(got.log.size(), 1u);
}

TEST(RoutingTable, FileMissingOrTooLargeDisablesTheTable) {
  test::TempRoot root;
  RouteSearch got = FindRouteInFile(root / "routes.txt", "a@b.test");
  EXPECT_FALSE(got.route);
  EXPECT_EQ(got.log, std::vector<std::string>{"failed to load the routing table information from " +
                                              (root / "routes.txt").string()});

  std::string big(kMaxRoutingTableBytes + 10, '\n');
  big.insert(0, "*@b.test,relay.test,25\n");
  auto path = root.Write("big.txt", big);
  got = FindRouteInFile(path, "a@b.test");
  EXPECT_FALSE(got.route);
  EXPECT_EQ(got.log,
            std::vector<std::string>{"critical failrue while processing " + path.string()});

  path = root.Write("routes.txt", "*@b.test,relay.test,2525\n");
  got = FindRouteInFile(path, "a@b.test");
  EXPECT_EQ(got.route, (Route{"relay.test", 2525}));
}

}  // namespace
}  // namespace tarnhold
