#include "desktop/message_box.h"

namespace tarnhold {

void MessageBoxSeam::Error(const std::string& title, const std::string& text) {
  (void)Show({title, text, BoxIcon::Error, BoxButtons::Ok});
}

void MessageBoxSeam::Inform(const std::string& title, const std::string& text) {
  (void)Show({title, text, BoxIcon::Information, BoxButtons::Ok});
}

bool MessageBoxSeam::AskYesNo(const std::string& title, const std::string& text) {
  return Show({title, text, BoxIcon::Question, BoxButtons::YesNo}) == BoxAnswer::Yes;
}

BoxAnswer RecordingMessageBox::Show(const BoxRequest& request) {
  shown_.push_back(request);
  if (!answers_.empty()) {
    const BoxAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  const bool yes_no =
      request.buttons == BoxButtons::YesNo || request.buttons == BoxButtons::YesNoCancel;
  return yes_no ? BoxAnswer::Yes : BoxAnswer::Ok;
}

std::string RecordingMessageBox::LastText() const {
  return shown_.empty() ? std::string() : shown_.back().text;
}

}  // namespace tarnhold
