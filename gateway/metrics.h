// The gateway's event counters: plain atomics in one process-wide registry that every engine
// thread bumps with a one-line call (CountEvent, CountSwept, CountRuleTriggered, CountScan),
// and that the metrics writer reads as a snapshot. Counting never blocks and never fails; a
// rule or scanner number beyond the registry's bound is counted in its last slot.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarnhold {

// Counters without a label of their own. The order is the order of the metrics file.
enum class Counter : std::size_t {
  SmtpMessagesReceived,    // a message acknowledged with 250 (once per message)
  Pop3MessagesCollected,   // a message collected from a remote POP3 box into queproc
  ConnectionsRefusedBusy,  // a connection answered "too many connections"
  RelayRefused,            // a recipient refused because the relay guard forbids it
  DeliveryAttempts,        // a send-queue item taken for delivery
  DeliveredRemote,         // accepted by the next host
  DeliveredLocal,          // stored in a local POP3 mailbox
  DeliveryDeferred,        // not delivered this time; tried again later
  DeliveryFinishedUnsent,  // given up without a returned mail (returned mail that failed)
  ReturnedMail,            // turned into a returned mail to its sender
  SmtpInSessions,          // connections the SMTP receiver greeted
  SmtpInTlsSessions,       // ... of which switched to TLS
  SmtpOutSessions,         // delivery connections that reached the MAIL step
  SmtpOutTlsSessions,      // ... of which under TLS
  Pop3Sessions,            // connections the POP3 server greeted
  Pop3TlsSessions,         // ... of which switched to TLS
  kCount
};

// Where the sweeper sent an item (an item that stays for a later pass is not counted).
enum class SweptOutcome : std::size_t {
  SendQueue,
  OffPeak,
  Quarantine,
  Deleted,
  Resubmitted,
  Errors,
  kCount
};

// One virus scanner's verdict on one message.
enum class ScanOutcome : std::size_t { Clean, Threat, Failed, kCount };

inline constexpr std::size_t kMetricRules = 256;    // rules 0..255; later ones share the last
inline constexpr std::size_t kMetricScanners = 32;  // the same for scanners

// The array index of an enumerator.
template <class E>
constexpr std::size_t MetricIndex(E e) {
  return static_cast<std::size_t>(e);
}

class MetricsRegistry {
 public:
  void Count(Counter c, std::uint64_t n = 1) { Add(counters_[MetricIndex(c)], n); }
  void CountSwept(SweptOutcome o) { Add(swept_[MetricIndex(o)], 1); }
  void CountRuleTriggered(int rule) { Add(rules_[Slot(rule, kMetricRules)], 1); }
  void CountScan(int scanner, ScanOutcome o) {
    Add(scans_[Slot(scanner, kMetricScanners)][MetricIndex(o)], 1);
  }

  [[nodiscard]] std::uint64_t Value(Counter c) const { return Load(counters_[MetricIndex(c)]); }
  [[nodiscard]] std::uint64_t Swept(SweptOutcome o) const { return Load(swept_[MetricIndex(o)]); }
  [[nodiscard]] std::uint64_t RuleTriggered(int rule) const {
    return Load(rules_[Slot(rule, kMetricRules)]);
  }
  [[nodiscard]] std::uint64_t Scans(int scanner, ScanOutcome o) const {
    return Load(scans_[Slot(scanner, kMetricScanners)][MetricIndex(o)]);
  }

 private:
  using Cell = std::atomic<std::uint64_t>;
  static std::size_t Slot(int n, std::size_t bound) {
    return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), bound - 1);
  }
  static void Add(Cell& cell, std::uint64_t n) { cell.fetch_add(n, std::memory_order_relaxed); }
  static std::uint64_t Load(const Cell& cell) { return cell.load(std::memory_order_relaxed); }

  std::array<Cell, MetricIndex(Counter::kCount)> counters_{};
  std::array<Cell, MetricIndex(SweptOutcome::kCount)> swept_{};
  std::array<Cell, kMetricRules> rules_{};
  std::array<std::array<Cell, MetricIndex(ScanOutcome::kCount)>, kMetricScanners> scans_{};
};

// The process's registry.
[[nodiscard]] MetricsRegistry& Metrics();

// The one-line bumps.
inline void CountEvent(Counter c) { Metrics().Count(c); }
inline void CountSwept(SweptOutcome o) { Metrics().CountSwept(o); }
inline void CountRuleTriggered(int rule) { Metrics().CountRuleTriggered(rule); }
inline void CountScan(int scanner, ScanOutcome o) { Metrics().CountScan(scanner, o); }

}  // namespace tarnhold
