#include "message/mail_address.h"

namespace tarnhold {

std::string ExtractAddress(std::string_view text) {
  std::size_t open = text.find('<');
  if (open != std::string_view::npos) {
    text.remove_prefix(open + 1);
    text = text.substr(0, text.find('>'));
  }
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return "";
  text.remove_prefix(start);
  return std::string(text.substr(0, text.find_first_of(" \t")));
}

std::string DomainOf(std::string_view address) {
  std::size_t at = address.find('@');
  return std::string(at == std::string_view::npos ? address : address.substr(at + 1));
}

}  // namespace tarnhold
