// The effects of a dry run: every operation reports success and nothing is sent, written,
// moved or deleted. A move reports the number the item would get, read from the folder.
#pragma once

#include "sweeper/item_effects.h"

namespace tarnhold {

class DryRunEffects : public ItemEffects {
 public:
  explicit DryRunEffects(std::int64_t item_size) : item_size_(item_size) {}

  int SendLocalMail(const LocalMail&) override { return kLocalMailSent; }
  bool ForwardCopy(std::string_view) override { return true; }
  DisclaimerResult AddTextDisclaimer(const std::filesystem::path&) override {
    return DisclaimerResult::Added;
  }
  DisclaimerResult AddHtmlDisclaimer(const std::filesystem::path&) override {
    return DisclaimerResult::Added;
  }
  void Pause(std::chrono::milliseconds) override {}
  std::int64_t ItemSize() override { return item_size_; }
  void WriteBandwidthRecord(std::string_view) override {}
  void SaveArchiveCopy(const std::filesystem::path&) override {}
  bool ConnectLocal() override { return true; }
  int SendResubmission(const Resubmission&) override { return 0; }
  void CloseLocal() override {}
  std::optional<std::uint32_t> MoveItem(const std::filesystem::path& folder, std::uint32_t start,
                                        std::string& error) override;
  bool DeleteItem() override { return true; }

 private:
  std::int64_t item_size_;
};

}  // namespace tarnhold
