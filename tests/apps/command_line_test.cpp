#include "apps/thgate/command_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tarnhold {
namespace {

using Args = std::vector<std::string>;

// The parsed options in one line: the command, then every field that is not at its default.
std::string Described(const GateOptions& o) {
  const char* commands[] = {"engine", "inspect", "test-rules", "help", "version", "check-config"};
  std::string text = commands[static_cast<int>(o.command)];
  if (!o.root.empty()) text += " root=" + o.root;
  if (!o.file.empty()) text += " file=" + o.file;
  if (o.raw) text += " raw";
  if (o.headless) text += " headless";
  if (o.pop3_port != 110) text += " port=" + std::to_string(o.pop3_port);
  if (o.from) text += " from=" + *o.from;
  if (o.to) text += " to=" + *o.to;
  if (o.ip) text += " ip=" + *o.ip;
  return text;
}

TEST(GateCommandLine, OptionsAndCommandsInAnyOrder) {
  const struct {
    Args args;
    std::string want;
  } cases[] = {
      {{}, "engine"},
      {{"--root", "/r", "--headless", "--pop3-port", "1110"}, "engine root=/r headless port=1110"},
      {{"--pop3-port", "1110", "--root", "/r"}, "engine root=/r port=1110"},
      {{"--headless", "--pop3-port", "65535"}, "engine headless port=65535"},
      {{"--root", "/r", "--inspect", "f"}, "inspect root=/r file=f"},
      {{"--inspect", "f", "--root", "/r"}, "inspect root=/r file=f"},
      {{"--inspect", "--raw", "f"}, "inspect file=f raw"},
      {{"f", "--raw", "--inspect"}, "inspect file=f raw"},
      {{"--root", "/r", "--test-rules", "f"}, "test-rules root=/r file=f"},
      {{"--test-rules", "--ip", "192.0.2.1", "--raw", "m.eml", "--to", "b@y", "--from", "a@x"},
       "test-rules file=m.eml raw from=a@x to=b@y ip=192.0.2.1"},
      {{"--to", "b", "--from", "a", "--raw", "f", "--test-rules"},
       "test-rules file=f raw from=a to=b"},
      // A value is taken as it stands, even when it looks like an option.
      {{"--root", "--inspect", "--inspect", "f"}, "inspect root=--inspect file=f"},
      {{"--help"}, "help"},
      {{"--root", "/r", "--version"}, "version root=/r"},
      {{"--pop3-port", "1110", "--check-config", "--root", "/r"}, "check-config root=/r port=1110"},
  };
  GateOptions o;  // shared: each parse must start again from the defaults
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::string error;
    ASSERT_EQ(ParseGateCommandLine(c.args, o, error), ParseResult::Ok) << error;
    EXPECT_EQ(Described(o), c.want);
  }
}

TEST(GateCommandLine, RefusalsNameTheFault) {
  const struct {
    Args args;
    std::string error;
  } cases[] = {
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
      {{"--inspect", "f", "--pop3-port", "1110"},
       "--pop3-port goes with the engine or --check-config"},
      {{"--check-config", "--headless"}, "--headless goes with the engine"},
      {{"--check-config", "tarnhold.dat"}, "unknown argument \"tarnhold.dat\""},
      {{"--test-rules", "--raw", "f", "--from", "a"},
       "--raw needs --from and --to for the envelope"},
      {{"--test-rules", "f", "--from", "a", "--to", "b"},
       "--from and --to go with --raw; a queue item has its own envelope"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    GateOptions o;
    o.root = "untouched";
    std::string error;
    EXPECT_EQ(ParseGateCommandLine(c.args, o, error), ParseResult::Invalid);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(o.root, "untouched");  // a refused line changes nothing
  }
}

TEST(GateCommandLine, UsageFitsTheCommandMeant) {
  const struct {
    Args args;
    std::string first_line;
  } cases[] = {
      {{"--bogus"}, "usage: thgate [--root DIR] [--headless] [--pop3-port N]"},
      {{"--bogus", "--inspect"}, "usage: thgate --inspect [--raw] FILE [--root DIR]"},
      {{"--test-rules", "--bogus"},
       "usage: thgate --test-rules [--raw] FILE [--from A] [--to B] [--ip X] [--root DIR]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
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
                         "--ip",     "--inspect",    "--test-rules", "--check-config", "--help", "--version"};
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
