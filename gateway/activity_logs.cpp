// The process-wide log pointers and the entry points every engine thread calls.
#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "gateway/activity_log.h"
#include "platform/text_case.h"

namespace tarnhold {
namespace {

std::atomic<CUH_Control*> g_pop3{nullptr};
std::atomic<CUH_Control*> g_smtp_in{nullptr};
std::atomic<CUH_Control*> g_sweep{nullptr};
std::atomic<CUH_Control*> g_smtp_out{nullptr};
std::atomic<CUH_Control*> g_bandwidth{nullptr};

void AddTo(const std::atomic<CUH_Control*>& log, std::string_view text) {
  if (CUH_Control* l = log.load(std::memory_order_acquire)) l->AddStampedLine(text, true);
}

}  // namespace

void InstallActivityLogs(const ActivityLogs& logs) {
  g_pop3.store(logs.pop3, std::memory_order_release);
  g_smtp_in.store(logs.smtp_in, std::memory_order_release);
  g_sweep.store(logs.sweep, std::memory_order_release);
  g_smtp_out.store(logs.smtp_out, std::memory_order_release);
  g_bandwidth.store(logs.bandwidth, std::memory_order_release);
}

ActivityLogs InstalledActivityLogs() {
  return {g_pop3.load(), g_smtp_in.load(), g_sweep.load(), g_smtp_out.load(), g_bandwidth.load()};
}

void Pop3LogLine(std::string_view text) { AddTo(g_pop3, text); }
void SmtpInLogLine(std::string_view text) { AddTo(g_smtp_in, text); }
void SmtpOutLogLine(std::string_view text) { AddTo(g_smtp_out, text); }
void SmtpOutLogLines(const std::vector<std::string>& texts) {
  CUH_Control* log = g_smtp_out.load(std::memory_order_acquire);
  if (log != nullptr && !texts.empty()) log->AddStampedLines(texts, true);
}
void BandwidthLogLine(std::string_view text) { AddTo(g_bandwidth, text); }

void SweepLogLine(std::string_view text) {
  std::string line = "> ";
  line += text;
  AddTo(g_sweep, line);
}

void SweepLogLines(const std::vector<std::string>& texts) {
  CUH_Control* log = g_sweep.load(std::memory_order_acquire);
  if (!log || texts.empty()) return;
  std::vector<std::string> lines;
  lines.reserve(texts.size());
  for (const std::string& text : texts) lines.push_back("> " + text);
  log->AddStampedLines(lines, true);
}

std::string BandwidthRecord(std::string_view date, std::string_view message_id,
                            std::string_view sender, std::string_view recipient,
                            std::int64_t size) {
  const std::string id = ToLower(message_id);
  std::string record;
  for (std::string_view field : {date, std::string_view(id), sender, recipient}) {
    record += '\t';
    record += field;
  }
  record += '\t';
  record += std::to_string(size);
  return record;
}

}  // namespace tarnhold
