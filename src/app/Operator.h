// What the program asks of a person: messages, questions, file names, a beep, the range
// window. The desktop window answers with real dialogs, tests with a script; no core code
// blocks on a real dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace karvo {

enum class TIcon { None, Stop, Exclamation, Warning };

class TOperator {
 public:
  virtual ~TOperator() = default;

  // A modal message with an OK button. Texts are Windows-1251 bytes; CR (13) breaks lines.
  virtual void Message(const std::string& text, const std::string& caption, TIcon icon) = 0;
  // An OK/Cancel question with the warning icon; true on OK.
  virtual bool Confirm(const std::string& text, const std::string& caption) = 0;
  // The program's own OK/Cancel questions (not those of the window's description), with the
  // question icon; true on OK.
  virtual bool Question(const std::string& text, const std::string& caption) {
    return Confirm(text, caption);
  }
  // A Retry/Cancel question; true on Retry.
  virtual bool RetryCancel(const std::string& text, const std::string& caption) = 0;
  // A file to write, offering `suggestedName`; nothing when the person cancels.
  virtual std::optional<std::string> AskSaveFile(const std::string& suggestedName) = 0;
  // A file to read; nothing when the person cancels.
  virtual std::optional<std::string> AskOpenFile() = 0;
  virtual void Beep() = 0;
  // Shows the range window modally with the two percentages and takes back what the person
  // set there.
  virtual void EditRange(int32_t& windowBegin, int32_t& windowEnd) = 0;
  // The view state changed in the middle of a long operation (progress, labels): show it now.
  virtual void Refresh() = 0;
};

}  // namespace karvo
