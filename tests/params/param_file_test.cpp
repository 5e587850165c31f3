#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "params/ParamFile.h"

namespace karvo {
namespace {

using namespace std::string_literals;

// Something in every row: numbers of all widths, one below zero, texts with 8-bit bytes.
TParamSet FullSet() {
  TParamSet set;
  for (int i = 0; i < 31; ++i) set[i].Value = 1000u * i + 7;
  for (int row : {4, 5, 6, 20}) set[row].Value = 13;
  set[14].Value = 0xFFFFFF9C;
  set[18].Value = 0x1FFFFFFF;
  set[31].Text = "\xD1ustomer name, inc.";
  set[33].Text = "12.05.09";
  set[34].Text = "v4\t2";
  return set;
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t begin = 0; begin < bytes.size();) {
    const size_t end = bytes.find('\n', begin) + 1;
    lines.push_back(bytes.substr(begin, end - begin));
    begin = end;
  }
  return lines;
}

std::string WithLine(const TParamSet& set, int row, const std::string& line) {
  std::vector<std::string> lines = Lines(ParamFileBytes(set));
  lines[row] = line + "\n";
  return std::accumulate(lines.begin(), lines.end(), std::string());
}

TEST(ParamFileWriter, LinesOfASet) {
  TParamSet set;
  set[0].Value = set[1].Value = 1;
  set[2].Value = 4;
  set[4].Value = set[5].Value = set[6].Value = set[20].Value = 13;
  set[28].Value = 0xFFFFFFFF;
  set[31].Text =
      "\xD1"
      "A\xFF";
  const std::vector<std::string> lines = Lines(ParamFileBytes(set));
  ASSERT_EQ(lines.size(), 36u);
  EXPECT_EQ(lines[0] + lines[1] + lines[2], "0\t1\n1\t1\n4\t4\n");
  for (int row : {4, 5, 6, 20}) EXPECT_EQ(lines[row], "2\t13\n");
  EXPECT_EQ(lines[28], "146\t-1\n");
  EXPECT_EQ(lines[31],
            "160\t\xD1"
            "A\xFF\n");
  EXPECT_EQ(lines[35], "224\t\n");

  // A line break inside a text would end its record and let the rest pass for a record.
  set[31].Text = "A\n7\t3\rB\0C"s;
  TParamSet back;
  ASSERT_TRUE(ReadParamFileBytes(ParamFileBytes(set), back).Complete);
  EXPECT_EQ(back[31].Text, "A 7\t3 B C");
  EXPECT_EQ(back[26].Value, 0u);
}

TEST(ParamFile, RoundTripOfAFullSet) {
  TParamSet set = FullSet();
  TParamSet back;
  for (auto& v : back) v = TPARAMVALUE{"", 99};
  for (int row = 31; row < PARAM_COUNT; ++row) back[row] = TPARAMVALUE{"stale", 0};
  const TParamFileRead read = ReadParamFileBytes(ParamFileBytes(set), back);
  EXPECT_TRUE(read.Complete);
  EXPECT_EQ(back, set) << "empty texts come back empty";

  set[33].Text = " \t 01.02";
  ReadParamFileBytes(ParamFileBytes(set), back);
  EXPECT_EQ(back[33].Text, "01.02") << "leading blanks of a text are lost";
}

TEST(ParamFileReader, Cases) {
  const TParamSet set = FullSet();
  const std::string good = ParamFileBytes(set);
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? "\r\n" : std::string(1, c);
  const std::vector<std::string> lines = Lines(good);
  const std::string reversed = std::accumulate(lines.rbegin(), lines.rend(), std::string());
  const std::string longDigits(300, '7');
  const struct {
    const char* what;
    std::string bytes;
    int records;
    std::string badToken;
  } cases[] = {
      {"LF", good, 36, ""},
      {"CR LF", crlf, 36, ""},
      {"reordered", reversed, 36, ""},
      {"text before each register", "reg " + WithLine(set, 1, "#1\t7007"), 36, ""},
      {"35 records end with an empty token", good.substr(0, good.rfind("224\t")), 35, ""},
      {"empty file", "", 0, ""},
      {"binary garbage", "\x01\xFF\x80\x7F", 0, ""},
      {"over-long register token", longDigits + "\t1\n" + good, 0, longDigits},
      {"bad number", WithLine(set, 9, "8\t12x"), 9, "12x"},
      {"blank after a number", WithLine(set, 9, "8\t12 "), 9, "12 "},
  };
  for (const auto& c : cases) {
    TParamSet values;
    for (auto& v : values) v.Value = 55;
    const TParamFileRead r = ReadParamFileBytes(c.bytes, values);
    EXPECT_EQ(r.Complete, c.records == 36) << c.what;
    EXPECT_EQ(r.Records, c.records) << c.what;
    EXPECT_EQ(r.BadToken, c.badToken) << c.what;
    // Records taken before a failure stay taken; nothing after it is touched.
    EXPECT_EQ(values[0].Value, c.records > 0 ? set[0].Value : 55u) << c.what;
    EXPECT_EQ(values[10].Value, c.records > 10 ? set[10].Value : 55u) << c.what;
  }
}

TEST(ParamFileReader, WhatARecordAssigns) {
  const TParamSet set = FullSet();
  TParamSet values;
  ReadParamFileBytes(WithLine(set, 8, "6\t200"), values);
  EXPECT_EQ(values[8].Value, 200u) << "no check against Max or the list";

  ReadParamFileBytes(WithLine(set, 4, "2\t77"), values);
  for (int row : {4, 5, 6, 20}) EXPECT_EQ(values[row].Value, 13u) << "the later record wins";
  ReadParamFileBytes("2\t77\n", values);
  for (int row : {4, 5, 6, 20}) EXPECT_EQ(values[row].Value, 77u) << "register 2 sets all four";

  ReadParamFileBytes(WithLine(set, 31, "160 \t\0 a  b \t c"s), values);
  EXPECT_EQ(values[31].Text, "a  b \t c");
  ReadParamFileBytes(WithLine(set, 31, "99\tnobody"), values);
  EXPECT_EQ(values[31].Text, "a  b \t c") << "a register no row uses changes nothing";
  ReadParamFileBytes(WithLine(set, 31, "160\t" + std::string(5000, 'x')), values);
  EXPECT_EQ(values[31].Text.size(), 5000u) << "a text has no length limit";
  ReadParamFileBytes(ParamFileBytes(TParamSet{}) + "160\tthirty-seventh\n", values);
  EXPECT_EQ(values[31].Text, "") << "records after the 36th are ignored";
}

}  // namespace
}  // namespace karvo
