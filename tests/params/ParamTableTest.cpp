#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "params/ParamTable.h"

namespace karvo {
namespace {

TEST(ParamTable, RegisterImages) {
  const std::tuple<int, TPARAMVALUE, std::vector<uint8_t>> cases[] = {
      // clang-format off
      {21, {"", 300}, {44}}, {18, {"", 0x12345678}, {0x78, 0x56, 0x34, 0x12}},
      {9, {"", 0xABCD1234}, {0x34, 0x12}}, {32, {"abc", 0}, {'a', 'b', 'c', 0, 0, 0, 0, 0}},
      {32, {"0123456789", 0}, {'0', '1', '2', '3', '4', '5', '6', '7'}},
      // clang-format on
  };
  for (const auto& [row, value, bytes] : cases) EXPECT_EQ(RegisterImage(row, value), bytes) << row;

  TPARAMVALUE v{"", 0xFFFFFFFF};
  const uint8_t bytes[8] = {0x34, 0x12, 'x', 0xD1, 0, 'c', 0, 0};
  TakeRegisterImage(9, bytes, v);
  EXPECT_EQ(v.Value, 0x1234u) << "high bytes are cleared";
  TakeRegisterImage(32, bytes, v);
  EXPECT_EQ(v.Text, "4\x12x\xD1") << "a text ends at its first zero byte";
  const uint8_t full[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  TakeRegisterImage(32, full, v);
  EXPECT_EQ(v.Text, "12345678") << "a run without a zero byte gives Size characters";
}

TEST(ParamTable, StrToInt) {
  const std::tuple<const char*, bool, int32_t> cases[] = {
      // clang-format off
      {"115200", true, 115200}, {"  42", true, 42}, {"+7", true, 7}, {"-13", true, -13},
      {"2147483647", true, INT32_MAX}, {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"99999999999999999999", false, 0}, {"", false, 0},
      {" ", false, 0}, {"-", false, 0}, {"12x", false, 0}, {"12 ", false, 0}, {"\t5", false, 0},
      {"$FF", false, 0},
      // clang-format on
  };
  for (const auto& [text, ok, value] : cases) {
    int32_t v = 12345;
    EXPECT_EQ(StrToInt(text, v), ok) << '"' << text << '"';
    EXPECT_EQ(v, ok ? value : 12345) << text;
  }
  const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15},
                                         {'g', 0}, {':', 0}, {'@', 0},  {'\xFF', 0}};
  for (const auto& [c, value] : digits) EXPECT_EQ(HexDigitValue(c), value) << c;
}

TEST(Cp1251, Conversions) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all) << "every byte survives";
  const std::pair<const char*, const char*> known[] = {
      // clang-format off
      {"\xC0\xFF", "\xD0\x90\xD1\x8F"}, {"\xA8\xB8", "\xD0\x81\xD1\x91"},          // А я, Ё ё
      {"\x88\xB9", "\xE2\x82\xAC\xE2\x84\x96"}, {"\xA5\x80", "\xD2\x90\xD0\x82"},  // € №, Ґ Ђ
      // clang-format on
  };
  for (const auto& [cp, utf8] : known) {
    EXPECT_EQ(Cp1251ToUtf8(cp), utf8);
    EXPECT_EQ(Utf8ToCp1251(utf8), cp);
  }
  const std::pair<const char*, const char*> foreign[] = {
      // clang-format off
      {"\xE4\xB8\xAD", "?"}, {"\xF0\x9F\x98\x80x", "?x"}, {"a\xFF" "b", "a?b"},
      {"\xD0z", "?z"}, {"\xC0\x80", "?"}, {"\xC3\xA9", "?"},
      // clang-format on
  };
  for (const auto& [utf8, cp] : foreign) EXPECT_EQ(Utf8ToCp1251(utf8), cp) << utf8;
}

}  // namespace
}  // namespace karvo
