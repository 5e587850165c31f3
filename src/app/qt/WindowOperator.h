// What the session asks of the operator, answered by the window: from the device thread the
// question travels to the window's thread, which shows the latest update first and then the
// box; the device thread waits for the answer holding nothing the window needs.
#pragma once

#include "app/qt/Main.h"

namespace karvo {

class TFormMain::TWindowOperator : public TOperator {
 public:
  explicit TWindowOperator(TFormMain& form) : form_(form) {}

  void Message(const std::string& text, const std::string& caption, TIcon icon) override;
  bool Confirm(const std::string& text, const std::string& caption) override;
  bool Question(const std::string& text, const std::string& caption) override;
  bool RetryCancel(const std::string& text, const std::string& caption) override;
  std::optional<std::string> AskSaveFile(const std::string& suggestedName) override;
  std::optional<std::string> AskOpenFile() override;
  void Beep() override;
  void EditRange(int32_t& windowBegin, int32_t& windowEnd) override;
  void Refresh() override;

 private:
  // Runs `f` on the window's thread and returns what it returns.
  template <typename F>
  auto Ask(F f) {
    using R = decltype(f());
    if constexpr (std::is_void_v<R>) {
      form_.AskWindow(f);
    } else {
      R result{};
      form_.AskWindow([&] { result = f(); });
      return result;
    }
  }
  bool OkCancel(const std::string& text, const std::string& caption, bool ownQuestion);

  TFormMain& form_;
};

}  // namespace karvo
