#include "message/text_list.h"

#include "platform/profile_file.h"

namespace tarnhold {

bool CTextList::Contains(std::string_view text) const {
  for (const auto& item : items_) {
    if (EqualsNoCase(item, text)) return true;
  }
  return false;
}

}  // namespace tarnhold
