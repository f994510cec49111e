#include "transport/dot_stuffing.h"

namespace tarnhold {

void DotStuffer::Transform(std::string_view in, std::string& out) {
  for (char c : in) {
    if (c == '.' && at_line_start_) out += '.';
    if (c == '\n' && !after_cr_ && form_ == DataForm::Text) out += '\r';
    out += c;
    after_cr_ = c == '\r';
    at_line_start_ = c == '\n' || (c == '\r' && form_ == DataForm::Text);
  }
}

std::string DotStuff(std::string_view in, DataForm form) {
  DotStuffer stuffer(form);
  std::string out;
  stuffer.Transform(in, out);
  return out;
}

}  // namespace tarnhold
