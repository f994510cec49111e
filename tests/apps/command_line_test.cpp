#include "apps/thgate/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tarnhold {
namespace {

using Args = std::vector<std::string>;

std::string Joined(const Args& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

TEST(GateCommandLine, OptionsAndCommandsInAnyOrder) {
  struct Case {
    Args args;
    GateCommand command;
    std::string root, file;
    bool raw;
  };
  const Case cases[] = {
      {{}, GateCommand::RunEngine, "", "", false},
      {{"--root", "/r", "--headless", "--pop3-port", "1110"}, GateCommand::RunEngine, "/r", "",
       false},
      {{"--pop3-port", "1110", "--root", "/r"}, GateCommand::RunEngine, "/r", "", false},
      {{"--root", "/r", "--inspect", "f"}, GateCommand::Inspect, "/r", "f", false},
      {{"--inspect", "f", "--root", "/r"}, GateCommand::Inspect, "/r", "f", false},
      {{"--inspect", "--raw", "f"}, GateCommand::Inspect, "", "f", true},
      {{"f", "--raw", "--inspect"}, GateCommand::Inspect, "", "f", true},
      {{"--root", "/r", "--test-rules", "f"}, GateCommand::TestRules, "/r", "f", false},
      {{"--root", "/r", "--test-rules", "--raw", "f", "--from", "a", "--to", "b", "--ip", "1.2.3.4"},
       GateCommand::TestRules, "/r", "f", true},
      {{"--to", "b", "--from", "a", "--raw", "f", "--test-rules"}, GateCommand::TestRules, "", "f",
       true},
      // A value is taken as it stands, even when it looks like an option.
      {{"--root", "--inspect", "--inspect", "f"}, GateCommand::Inspect, "--inspect", "f", false},
      {{"--help"}, GateCommand::Help, "", "", false},
      {{"--root", "/r", "--version"}, GateCommand::Version, "/r", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    GateOptions o;
    std::string error;
    ASSERT_EQ(ParseGateCommandLine(c.args, o, error), ParseResult::Ok) << error;
    EXPECT_EQ(o.command, c.command);
    EXPECT_EQ(o.root, c.root);
    EXPECT_EQ(o.file, c.file);
    EXPECT_EQ(o.raw, c.raw);
  }
}

TEST(GateCommandLine, ValuesReachTheirFields) {
  GateOptions o;
  std::string error;
  ASSERT_EQ(ParseGateCommandLine({"--test-rules", "--ip", "192.0.2.1", "--raw", "m.eml", "--to",
                                  "b@y", "--from", "a@x"},
                                 o, error),
            ParseResult::Ok)
      << error;
  EXPECT_EQ(o.from, "a@x");
  EXPECT_EQ(o.to, "b@y");
  EXPECT_EQ(o.ip, "192.0.2.1");
  ASSERT_EQ(ParseGateCommandLine({"--headless", "--pop3-port", "65535"}, o, error),
            ParseResult::Ok);
  EXPECT_TRUE(o.headless);
  EXPECT_EQ(o.pop3_port, 65535u);
  EXPECT_FALSE(o.from);  // a fresh parse starts from the defaults
}

TEST(GateCommandLine, RefusalsNameTheFault) {
  struct Case {
    Args args;
    std::string error;
  };
  const Case cases[] = {
      {{"--window"}, "unknown argument \"--window\""},
      {{"stray"}, "unknown argument \"stray\""},
      {{"--inspect", "a", "b"}, "unknown argument \"b\""},
      {{"--inspect", "-"}, "unknown argument \"-\""},
      {{"--root"}, "--root needs a value"},
      {{"--inspect", "f", "--root"}, "--root needs a value"},
      {{"--pop3-port", "0"}, "--pop3-port needs a port number from 1 to 65535, not \"0\""},
      {{"--pop3-port", "65536"}, "--pop3-port needs a port number from 1 to 65535, not \"65536\""},
      {{"--pop3-port", "11x"}, "--pop3-port needs a port number from 1 to 65535, not \"11x\""},
      {{"--pop3-port", ""}, "--pop3-port needs a port number from 1 to 65535, not \"\""},
      {{"--inspect"}, "no file to inspect"},
      {{"--test-rules", "--raw"}, "no message file"},
      {{"--inspect", "f", "--test-rules"}, "one command at a time: \"--test-rules\" after another"},
      {{"--raw"}, "--raw goes with --inspect or --test-rules"},
      {{"--from", "a"}, "--from goes with --test-rules"},
      {{"--inspect", "f", "--ip", "1.2.3.4"}, "--ip goes with --test-rules"},
      {{"--inspect", "f", "--pop3-port", "1110"}, "--pop3-port goes with the engine"},
      {{"--test-rules", "--raw", "f", "--from", "a"},
       "--raw needs --from and --to for the envelope"},
      {{"--test-rules", "f", "--from", "a", "--to", "b"},
       "--from and --to go with --raw; a queue item has its own envelope"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    GateOptions o;
    o.root = "untouched";
    std::string error;
    EXPECT_EQ(ParseGateCommandLine(c.args, o, error), ParseResult::Invalid);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(o.root, "untouched");  // a refused line changes nothing
  }
}

TEST(GateCommandLine, UsageFitsTheCommandMeant) {
  struct Case {
    Args args;
    std::string first_line;
  };
  const Case cases[] = {
      {{"--bogus"}, "usage: thgate [--root DIR] [--headless] [--pop3-port N]"},
      {{"--bogus", "--inspect"}, "usage: thgate --inspect [--raw] FILE [--root DIR]"},
      {{"--test-rules", "--bogus"},
       "usage: thgate --test-rules [--raw] FILE [--from A] [--to B] [--ip X] [--root DIR]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    std::string usage = GateUsage(c.args);
    EXPECT_EQ(usage.substr(0, usage.find('\n')), c.first_line);
  }
  // Without a command the usage shows every form.
  std::string all = GateUsage({"--bogus"});
  for (const char* form : {"--inspect", "--test-rules", "--help | --version"}) {
    EXPECT_NE(all.find(form), std::string::npos) << form;
  }
}

TEST(GateCommandLine, HelpListsEveryWordTheParserTakes) {
  std::ostringstream help;
  WriteGateHelp(help);
  const std::string text = help.str();
  // Every word of the help's option and command lists parses, and every word the parser knows
  // is listed: the help cannot fall behind the table.
  const char* words[] = {"--root",   "--headless",   "--pop3-port", "--raw",  "--from",   "--to",
                         "--ip",     "--inspect",    "--test-rules", "--help", "--version"};
  for (const char* w : words) {
    SCOPED_TRACE(w);
    EXPECT_NE(text.find(std::string("\n  ") + w + " "), std::string::npos);
  }
  std::istringstream lines(text);
  int listed = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("  --", 0) == 0) ++listed;
  }
  EXPECT_EQ(listed, static_cast<int>(std::size(words)));
}

}  // namespace
}  // namespace tarnhold
