// An ordered list of owned strings: the coder's global header lines, a part's extra header
// lines and attachment parameter lists.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnhold {

class CTextList {
 public:
  void Add(std::string_view text) { items_.emplace_back(text); }
  void Clear() { items_.clear(); }
  [[nodiscard]] std::size_t Count() const { return items_.size(); }
  // The entry at `index`, or nullptr past the end.
  [[nodiscard]] const char* Get(std::size_t index) const {
    return index < items_.size() ? items_[index].c_str() : nullptr;
  }
  // Whether some entry equals `text`, compared without regard to ASCII letter case.
  [[nodiscard]] bool Contains(std::string_view text) const;

 private:
  std::vector<std::string> items_;
};

}  // namespace tarnhold
