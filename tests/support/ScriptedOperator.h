// A TOperator that answers from a script and records everything it was asked, so that
// tests can drive the session's dialogs without a window.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "app/Operator.h"

namespace karvo::test {

struct TShownMessage {
  std::string Text;
  std::string Caption;
  TIcon Icon;
};

class TScriptedOperator : public TOperator {
 public:
  // Answers used in order; when a queue is empty the default answer applies.
  std::deque<bool> ConfirmAnswers;                     // default: OK
  std::deque<bool> RetryAnswers;                       // default: Cancel
  std::deque<std::optional<std::string>> SaveAnswers;  // default: cancel
  std::deque<std::optional<std::string>> OpenAnswers;  // default: cancel
  // What the range window hands back: nothing keeps the values it was given.
  std::deque<std::pair<int32_t, int32_t>> RangeAnswers;

  std::vector<TShownMessage> Messages;
  std::vector<std::string> Questions;  // "text|caption"
  std::vector<std::string> SaveSuggestions;
  std::vector<std::pair<int32_t, int32_t>> RangeShown;
  int Beeps = 0;
  int Refreshes = 0;

  void Message(const std::string& text, const std::string& caption, TIcon icon) override {
    Messages.push_back({text, caption, icon});
  }
  bool Confirm(const std::string& text, const std::string& caption) override {
    Questions.push_back(text + "|" + caption);
    return Take(ConfirmAnswers, true);
  }
  bool RetryCancel(const std::string& text, const std::string& caption) override {
    Questions.push_back(text + "|" + caption);
    return Take(RetryAnswers, false);
  }
  std::optional<std::string> AskSaveFile(const std::string& suggestedName) override {
    SaveSuggestions.push_back(suggestedName);
    return Take(SaveAnswers, std::optional<std::string>{});
  }
  std::optional<std::string> AskOpenFile() override {
    return Take(OpenAnswers, std::optional<std::string>{});
  }
  void Beep() override { ++Beeps; }
  void EditRange(int32_t& windowBegin, int32_t& windowEnd) override {
    RangeShown.push_back({windowBegin, windowEnd});
    std::tie(windowBegin, windowEnd) = Take(RangeAnswers, RangeShown.back());
  }
  void Refresh() override { ++Refreshes; }

  // Text of the last message, "" when none was shown.
  std::string LastMessage() const { return Messages.empty() ? "" : Messages.back().Text; }

 private:
  template <typename T>
  static T Take(std::deque<T>& queue, T fallback) {
    if (queue.empty()) return fallback;
    T v = queue.front();
    queue.pop_front();
    return v;
  }
};

}  // namespace karvo::test
