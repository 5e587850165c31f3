// "Write to file" and "Read from file" of the grid's menu.
#include <unistd.h>

#include "app/Session.h"
#include "files/TextFile.h"
#include "params/ParamFile.h"

namespace karvo {

namespace {

// Far beyond any parameter file; keeps a wrongly chosen file from filling the memory.
constexpr size_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;
// A token longer than this is cut in the error message; the box has to stay readable.
constexpr size_t MAX_TOKEN_SHOWN = 100;

std::string Reason(int error) {
  return Utf8ToCp1251(ErrnoSentence(error));
}

}  // namespace

void TSession::SaveParamFile() {
  const std::optional<std::string> name = Person.AskSaveFile(View.LabelSerNum + ".prm");
  if (!name) return;
  if (access(name->c_str(), F_OK) == 0 && !Person.Confirm("Rewrite file?", CAPTION_DOT)) return;
  WriteFileShown(*name, ParamFileBytes(ParamWrite));
}

bool TSession::WriteFileShown(const std::string& path, const std::string& bytes) {
  int error = 0;
  if (WriteFileReplacing(path, bytes, error)) return true;
  Person.Message("Error writing " + Utf8ToCp1251(path) + "." + '\r' + Reason(error), CAPTION,
                 TIcon::Exclamation);
  return false;
}

void TSession::LoadParamFile() {
  const std::optional<std::string> name = Person.AskOpenFile();
  if (!name) return;
  std::string bytes;
  std::string reason;
  if (!ReadRegularFile(*name, MAX_PARAM_FILE_SIZE, bytes, reason)) {
    Person.Message("Error reading " + Utf8ToCp1251(*name) + "." + '\r' + Utf8ToCp1251(reason),
                   CAPTION, TIcon::Exclamation);
    return;
  }
  // A file that fails part-way is not taken: the grid would go on showing values the set no
  // longer holds.
  const TParamFileRead read = TakeParamFileBytes(bytes, ParamWrite, MeasuringRange());
  if (!read.Complete) {
    // Printable only: a file's bytes must not reach the box as they stand.
    Person.Message(NotValidIntegerMessage(PrintableText(read.BadToken, MAX_TOKEN_SHOWN)), CAPTION,
                   TIcon::Stop);
    return;
  }
  FillParamGrid();
  // Loaded all the same: stored files may hold such values on purpose; the operator is told
  // before "Load All" sends them.
  if (read.Issues.empty()) return;
  std::string text = "Values outside their rows:";
  for (const TValueIssue& issue : read.Issues) text += '\r' + IssueLine(issue);
  Person.Message(text, CAPTION, TIcon::Warning);
}

}  // namespace karvo
