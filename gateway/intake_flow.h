// Paces the intake to the sweeper. The receiver asks for room before it accepts a new message
// (at MAIL) and waits, for a bounded time, while the items waiting for the sweeper reach the
// limit. Transfers in progress do not count, so slow clients (or idle ones that stopped after
// MAIL) never hold up others; a freed place lets one waiting message in. Under a load above
// what the gateway can sweep,
// the backlog, and with it the time from a client's "250" to the delivery, stays small instead
// of growing for as long as the load lasts, and the receiver's sessions no longer take the CPU
// the sweeper needs. A client is slowed, never refused: after the longest wait it goes on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnhold {

// Items waiting for the sweeper at which new messages wait.
inline constexpr int kIntakeBacklogLimit = 8;
// The longest a new message waits for room.
inline constexpr std::chrono::milliseconds kIntakeLongestWait{1000};

class IntakeFlow {
 public:
  // One admitted message, from its MAIL until its items are in queproc (Commit) or the
  // transaction ends without them (destruction, reset).
  class Slot {
   public:
    Slot() = default;
    Slot(Slot&& other) noexcept : flow_(other.flow_) { other.flow_ = nullptr; }
    Slot& operator=(Slot&& other) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { Release(); }

    [[nodiscard]] explicit operator bool() const { return flow_ != nullptr; }
    // The message became `items` items waiting for the sweeper; the slot is used up.
    void Commit(int items);
    // Gives the room back unused.
    void Release();

   private:
    friend class IntakeFlow;
    explicit Slot(IntakeFlow* flow) : flow_(flow) {}
    IntakeFlow* flow_ = nullptr;
  };

  explicit IntakeFlow(int limit = kIntakeBacklogLimit,
                      std::chrono::milliseconds longest_wait = kIntakeLongestWait)
      : limit_(limit), longest_wait_(longest_wait) {}
  IntakeFlow(const IntakeFlow&) = delete;
  IntakeFlow& operator=(const IntakeFlow&) = delete;

  // Waits while the items waiting for the sweeper are at the limit (at most the longest wait,
  // and not at all once opened), then admits one message.
  [[nodiscard]] Slot Admit();
  // Items put into queproc by others than the receiver (the collection).
  void Added(int items);
  // The sweeper's listing: `waiting` items are in queproc now. Corrects any drift (items
  // that other programs took away or put in).
  void Listed(int waiting);
  // The sweeper is done with one item.
  void Done();
  // Ends every wait and lets every later message in at once (the gateway is stopping).
  void Open();

  [[nodiscard]] int Waiting() const;
  [[nodiscard]] int Admitted() const;
  // Messages waiting for room now.
  [[nodiscard]] int Paced() const;

 private:
  const int limit_;
  const std::chrono::milliseconds longest_wait_;
  mutable std::mutex mutex_;
  std::condition_variable room_;
  int waiting_ = 0;   // items in queproc by the last count
  int admitted_ = 0;  // slots held
  int paced_ = 0;     // Admit calls waiting
  bool open_ = false;
};

}  // namespace tarnhold
