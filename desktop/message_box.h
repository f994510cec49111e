// The message-box seam: every refusal, warning and question a desktop program shows goes through
// one interface, so that the logic classes decide what is said and a test can read it. The Qt
// form (widgets/) shows a modal box; RecordingMessageBox records and answers as told.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace tarnhold {

enum class BoxIcon { None, Information, Warning, Error, Question };
enum class BoxButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class BoxAnswer { Ok, Cancel, Yes, No };

struct BoxRequest {
  std::string title;
  std::string text;
  BoxIcon icon = BoxIcon::None;
  BoxButtons buttons = BoxButtons::Ok;
};

class MessageBoxSeam {
 public:
  virtual ~MessageBoxSeam() = default;
  // Shows the box and waits for the operator's answer.
  [[nodiscard]] virtual BoxAnswer Show(const BoxRequest& request) = 0;

  // The common forms: an error with OK, a note with OK, a Yes/No question.
  void Error(const std::string& title, const std::string& text);
  void Inform(const std::string& title, const std::string& text);
  [[nodiscard]] bool AskYesNo(const std::string& title, const std::string& text);
};

// Records every box and answers from a queue the test fills; with the queue empty it answers
// the affirmative button of the box (Ok or Yes).
class RecordingMessageBox : public MessageBoxSeam {
 public:
  [[nodiscard]] BoxAnswer Show(const BoxRequest& request) override;

  void QueueAnswer(BoxAnswer answer) { answers_.push_back(answer); }
  [[nodiscard]] const std::vector<BoxRequest>& Shown() const { return shown_; }
  // The text of the last box, or "" when none was shown.
  [[nodiscard]] std::string LastText() const;
  void Clear() { shown_.clear(); }

 private:
  std::vector<BoxRequest> shown_;
  std::deque<BoxAnswer> answers_;
};

}  // namespace tarnhold
