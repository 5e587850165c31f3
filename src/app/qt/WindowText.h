// Texts the session keeps as Windows-1251 bytes, as the window shows them.
#pragma once

#include <QString>
#include <string>

#include "params/ParamTable.h"

namespace karvo {

inline QString Decode(const std::string& bytes) {
  return QString::fromStdString(Cp1251ToUtf8(bytes));
}

// A message's lines are broken by a carriage return alone.
inline QString MessageText(const std::string& bytes) {
  QString text = Decode(bytes);
  text.replace("\r\n", "\n");
  text.replace('\r', '\n');
  return text;
}

}  // namespace karvo
