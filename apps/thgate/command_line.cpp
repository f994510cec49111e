#include "apps/thgate/command_line.h"

#include <charconv>
#include <iomanip>

namespace tarnhold {
namespace {

// Which command lines an option belongs to (a bit set).
enum Uses : unsigned {
  kForEngine = 1u << 0,
  kForInspect = 1u << 1,
  kForTestRules = 1u << 2,
  kForCheckConfig = 1u << 3,
};

enum class Kind { Option, Command };

// One word of the command line. An option stores its value (if it takes one) through `apply`,
// which refuses a bad value with one line in `error`; a command selects what thgate does.
struct Word {
  const char* name;
  const char* value;  // the value's placeholder, nullptr: the word takes none
  Kind kind;
  GateCommand command;  // Kind::Command only
  unsigned uses;        // Kind::Option only
  bool (*apply)(GateOptions&, const std::string& value, std::string& error);
  const char* help;
};

bool SetRoot(GateOptions& o, const std::string& v, std::string&) {
  o.root = v;
  return true;
}

bool SetHeadless(GateOptions& o, const std::string&, std::string&) {
  o.headless = true;
  return true;
}

bool SetPop3Port(GateOptions& o, const std::string& v, std::string& error) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (ec != std::errc() || end != v.data() + v.size() || value < 1 || value > 65535) {
    error = "--pop3-port needs a port number from 1 to 65535, not \"" + v + "\"";
    return false;
  }
  o.pop3_port = value;
  return true;
}

bool SetRaw(GateOptions& o, const std::string&, std::string&) {
  o.raw = true;
  return true;
}

bool SetFrom(GateOptions& o, const std::string& v, std::string&) {
  o.from = v;
  return true;
}

bool SetTo(GateOptions& o, const std::string& v, std::string&) {
  o.to = v;
  return true;
}

bool SetIp(GateOptions& o, const std::string& v, std::string&) {
  o.ip = v;
  return true;
}

constexpr unsigned kForCommands = kForInspect | kForTestRules;
constexpr unsigned kForAll = kForEngine | kForCommands | kForCheckConfig;

const Word kWords[] = {
    {"--root", "DIR", Kind::Option, {}, kForAll, SetRoot,
     "the data root (else $TARNHOLD_ROOT, else /var/lib/tarnhold)"},
    {"--headless", nullptr, Kind::Option, {}, kForEngine, SetHeadless,
     "run the engine without a window; every log line also goes to standard output"},
    {"--pop3-port", "N", Kind::Option, {}, kForEngine | kForCheckConfig, SetPop3Port,
     "the port of the POP3 server (default 110)"},
    {"--raw", nullptr, Kind::Option, {}, kForCommands, SetRaw,
     "FILE is a plain RFC 822 message, not a queue item"},
    {"--from", "A", Kind::Option, {}, kForTestRules, SetFrom,
     "the envelope sender of a --raw message"},
    {"--to", "B", Kind::Option, {}, kForTestRules, SetTo,
     "the envelope recipient of a --raw message"},
    {"--ip", "X", Kind::Option, {}, kForTestRules, SetIp,
     "the client's IP address the rules see (else the item's source file)"},
    {"--inspect", "FILE", Kind::Command, GateCommand::Inspect, 0, nullptr,
     "print a message as the rules see it (JSON) and end"},
    {"--test-rules", "FILE", Kind::Command, GateCommand::TestRules, 0, nullptr,
     "dry run of the rules over a message: the sweeper's lines and the decision"},
    {"--check-config", nullptr, Kind::Command, GateCommand::CheckConfig, 0, nullptr,
     "check the configuration and every file it names; one line per problem"},
    {"--help", nullptr, Kind::Command, GateCommand::Help, 0, nullptr,
     "print this text and end"},
    {"--version", nullptr, Kind::Command, GateCommand::Version, 0, nullptr,
     "print the version and end"},
};

// The forms of the command line, in the order --help shows them.
constexpr const char* kEngineForm = "thgate [--root DIR] [--headless] [--pop3-port N]";
constexpr const char* kInspectForm = "thgate --inspect [--raw] FILE [--root DIR]";
constexpr const char* kTestRulesForm =
    "thgate --test-rules [--raw] FILE [--from A] [--to B] [--ip X] [--root DIR]";
constexpr const char* kCheckConfigForm = "thgate --check-config [--root DIR] [--pop3-port N]";
constexpr const char* kInfoForm = "thgate --help | --version";

const Word* FindWord(const std::string& name) {
  for (const Word& w : kWords) {
    if (name == w.name) return &w;
  }
  return nullptr;
}

unsigned UsesOf(GateCommand command) {
  switch (command) {
    case GateCommand::RunEngine: return kForEngine;
    case GateCommand::Inspect: return kForInspect;
    case GateCommand::TestRules: return kForTestRules;
    case GateCommand::CheckConfig: return kForCheckConfig;
    case GateCommand::Help:
    case GateCommand::Version: return kForAll;  // they ignore the rest of the line
  }
  return 0;
}

// The commands an option goes with, for the error line: "--inspect or --test-rules".
std::string CommandsFor(unsigned uses) {
  std::string names;
  if (uses & kForEngine) names = "the engine";
  for (const Word& w : kWords) {
    if (w.kind != Kind::Command || (UsesOf(w.command) & uses) == 0 || UsesOf(w.command) == kForAll)
      continue;
    names += names.empty() ? "" : " or ";
    names += w.name;
  }
  return names;
}

// Checks that hold once the whole line is read: every option goes with the command, and the
// command has what it needs.
bool CheckCombination(const GateOptions& o, const std::vector<const Word*>& given,
                      std::string& error) {
  unsigned uses = UsesOf(o.command);
  for (const Word* w : given) {
    if ((w->uses & uses) == 0) {
      error = std::string(w->name) + " goes with " + CommandsFor(w->uses);
      return false;
    }
  }
  switch (o.command) {
    case GateCommand::RunEngine:
      if (!o.file.empty()) error = "unknown argument \"" + o.file + "\"";
      break;
    case GateCommand::Inspect:
      if (o.file.empty()) error = "no file to inspect";
      break;
    case GateCommand::TestRules:
      if (o.file.empty()) {
        error = "no message file";
      } else if (o.raw && (!o.from || !o.to)) {
        error = "--raw needs --from and --to for the envelope";
      } else if (!o.raw && (o.from || o.to)) {
        error = "--from and --to go with --raw; a queue item has its own envelope";
      }
      break;
    case GateCommand::CheckConfig:
      if (!o.file.empty()) error = "unknown argument \"" + o.file + "\"";
      break;
    case GateCommand::Help:
    case GateCommand::Version: break;
  }
  return error.empty();
}

}  // namespace

ParseResult ParseGateCommandLine(const std::vector<std::string>& args, GateOptions& options,
                                 std::string& error) {
  GateOptions o;
  bool command_given = false;
  std::vector<const Word*> given;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const Word* word = FindWord(arg);
    if (word == nullptr) {
      // A word that is not an option is the command's file; a second one has no place.
      if (arg.empty() || arg[0] == '-' || !o.file.empty()) {
        error = "unknown argument \"" + arg + "\"";
        return ParseResult::Invalid;
      }
      o.file = arg;
      continue;
    }
    if (word->kind == Kind::Command) {
      if (command_given) {
        error = "one command at a time: \"" + arg + "\" after another";
        return ParseResult::Invalid;
      }
      command_given = true;
      o.command = word->command;
      continue;
    }
    std::string value;
    if (word->value != nullptr) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return ParseResult::Invalid;
      }
      value = args[++i];
    }
    if (!word->apply(o, value, error)) return ParseResult::Invalid;
    given.push_back(word);
  }
  if (!CheckCombination(o, given, error)) return ParseResult::Invalid;
  options = std::move(o);
  return ParseResult::Ok;
}

std::string GateUsage(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    const Word* word = FindWord(arg);
    if (word == nullptr || word->kind != Kind::Command) continue;
    if (word->command == GateCommand::Inspect) return std::string("usage: ") + kInspectForm;
    if (word->command == GateCommand::TestRules) return std::string("usage: ") + kTestRulesForm;
    if (word->command == GateCommand::CheckConfig)
      return std::string("usage: ") + kCheckConfigForm;
  }
  std::string usage = std::string("usage: ") + kEngineForm;
  for (const char* form : {kInspectForm, kTestRulesForm, kCheckConfigForm, kInfoForm}) {
    usage.append("\n       ").append(form);
  }
  return usage;
}

void WriteGateHelp(std::ostream& out) {
  out << GateUsage({}) << "\n\nOptions and commands may come in any order.\n";
  for (Kind kind : {Kind::Option, Kind::Command}) {
    out << (kind == Kind::Option ? "\nOptions:\n" : "\nCommands:\n");
    for (const Word& w : kWords) {
      if (w.kind != kind) continue;
      std::string left = std::string(w.name) + (w.value ? std::string(" ") + w.value : "");
      out << "  " << std::left << std::setw(20) << left << w.help << "\n";
    }
  }
}

}  // namespace tarnhold
