#include "tests/support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

namespace tarnhold::test {
namespace {

using Clock = std::chrono::steady_clock;

bool Matches(std::string_view got, std::string_view want) {
  if (!want.empty() && want.back() == '*') {
    want.remove_suffix(1);
    return got.substr(0, want.size()) == want;
  }
  return got == want;
}

std::string Shown(std::string_view text) {
  constexpr std::size_t kMax = 120;
  std::string out(text.substr(0, kMax));
  if (text.size() > kMax) out += "...";
  return '"' + out + '"';
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<std::string> script, milliseconds step_timeout)
    : script_(std::move(script)), step_timeout_(step_timeout) {
  thread_ = std::jthread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> ScriptedPeer::Finish() {
  if (thread_.joinable()) thread_.join();
  std::scoped_lock lock(mutex_);
  return failures_;
}

std::string ScriptedPeer::Received() {
  std::scoped_lock lock(mutex_);
  return received_;
}

milliseconds ScriptedPeer::Duration() {
  std::scoped_lock lock(mutex_);
  return duration_;
}

void ScriptedPeer::Fail(std::size_t step, std::string text) {
  std::scoped_lock lock(mutex_);
  failures_.push_back("step " + std::to_string(step + 1) + ": " + std::move(text));
}

bool ScriptedPeer::ReadLine(int fd, std::string& line) {
  std::size_t end = pending_.find('\n');
  if (end == std::string::npos) {
    (void)ReadUntil(fd, "\n", pending_, step_timeout_);
    end = pending_.find('\n');
  }
  if (end == std::string::npos) return false;
  {
    std::scoped_lock lock(mutex_);
    received_.append(pending_, 0, end + 1);
  }
  line.assign(pending_, 0, end);
  pending_.erase(0, end + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void ScriptedPeer::Run() {
  UniqueFd fd = listener_.Accept(step_timeout_);
  if (!fd) {
    Fail(0, "no connection came");
    return;
  }
  const auto started = Clock::now();
  for (std::size_t i = 0; i < script_.size(); ++i) {
    std::string_view step = script_[i];
    std::string_view arg = step.size() > 3 ? step.substr(3) : std::string_view();
    if (step.starts_with("S: ")) {
      if (!SendText(fd.Get(), std::string(arg) + "\r\n")) Fail(i, "send failed");
    } else if (step.starts_with("R: ")) {
      if (!SendText(fd.Get(), arg)) Fail(i, "send failed");
    } else if (step.starts_with("C: ")) {
      std::string line;
      if (!ReadLine(fd.Get(), line)) {
        Fail(i, "no line came, want " + Shown(arg));
        break;
      }
      if (!Matches(line, arg)) Fail(i, "got " + Shown(line) + ", want " + Shown(arg));
    } else if (step == "CLOSE") {
      break;
    } else if (step == "STALL" || step == "EOF") {
      std::string rest;
      bool closed = ReadToClose(fd.Get(), rest, step_timeout_);
      {
        std::scoped_lock lock(mutex_);
        received_ += pending_ + rest;
      }
      if (!closed) Fail(i, "the client did not close");
      if (step == "EOF" && !(pending_ + rest).empty()) {
        Fail(i, "more came before the close: " + Shown(pending_ + rest));
      }
      pending_.clear();
    } else {
      Fail(i, "bad script line " + Shown(step));
    }
  }
  std::scoped_lock lock(mutex_);
  duration_ = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
}

int UnusedLoopbackPort() {
  LoopbackListener probe;
  return probe.Port();
}

}  // namespace tarnhold::test
