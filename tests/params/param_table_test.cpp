#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "params/ParamTable.h"

namespace karvo {
namespace {

TEST(ParamTable, RegistersNamesAndLimits) {
  // First register and register count of every row, from the sensor's register map.
  const uint8_t map[PARAM_COUNT][2] = {
      {0, 1},   {1, 1},   {4, 1},   {3, 1},   {2, 1},    {2, 1},   {2, 1},   {5, 1},    {6, 1},
      {8, 2},   {10, 2},  {12, 2},  {14, 2},  {16, 1},   {23, 2},  {41, 1},  {32, 1},   {34, 2},
      {36, 4},  {40, 1},  {2, 1},   {129, 1}, {25, 2},   {27, 2},  {130, 2}, {132, 1},  {7, 1},
      {144, 1}, {146, 2}, {148, 2}, {150, 2}, {160, 32}, {192, 8}, {200, 8}, {208, 16}, {224, 16}};
  for (int i = 0; i < PARAM_COUNT; ++i) {
    EXPECT_EQ(ParamTable[i].Address, map[i][0]) << i;
    EXPECT_EQ(ParamTable[i].Size, map[i][1]) << i;
    EXPECT_EQ(ParamTable[i].Kind, i >= 31 ? KIND_TEXT : (i == 17 || i == 18) ? KIND_HEX : KIND_DEC);
  }
  // The two names with a Cyrillic Es, not a Latin C.
  EXPECT_STREQ(ParamTable[31].Name, "_\xD1ustomer");
  EXPECT_STREQ(ParamTable[33].Name,
               "_Date \xD1"
               "alibration");
  for (int i : {2, 3, 4, 15, 16, 17, 18, 19, 20}) {
    EXPECT_EQ(std::string(ParamTable[i].Name).find_first_not_of(' '), 4u) << i;
  }
  EXPECT_EQ(ParamTable[18].Max, (1u << 29) - 1);
  EXPECT_EQ(ParamTable[17].Max, (1u << 11) - 1);
}

TEST(ParamTable, LaserListsFollowTheMeasuringRange) {
  const std::pair<int16_t, const char*> cases[] = {
      {249, "31 ~3 mW"}, {250, "31 ~5 mW"}, {-1, "31 ~3 mW"}, {INT16_MAX, "31 ~5 mW"}};
  for (const auto& [range, last] : cases) EXPECT_STREQ(LaserLevels(range)[31], last) << range;
  for (int k = 0; k < 32; ++k) {
    EXPECT_EQ(std::stoi(LaserLevelsLow[k]), k);
    EXPECT_EQ(std::stoi(LaserLevelsHigh[k]), k);
  }
  EXPECT_STREQ(LaserLevelsLow[14], "14 ~0,5 mW");
  EXPECT_STREQ(LaserLevelsHigh[27], "27 ~4,5 mW");
}

TEST(ParamTable, RegisterImage) {
  const struct {
    int row;
    TPARAMVALUE value;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {21, {"", 300}, {44}},
      {18, {"", 0x12345678}, {0x78, 0x56, 0x34, 0x12}},
      {9, {"", 0xABCD1234}, {0x34, 0x12}},
      {32, {"abc", 0}, {'a', 'b', 'c', 0, 0, 0, 0, 0}},
      {32, {"0123456789", 0}, {'0', '1', '2', '3', '4', '5', '6', '7'}},
  };
  for (const auto& c : cases) EXPECT_EQ(RegisterImage(c.row, c.value), c.bytes) << c.row;

  TPARAMVALUE v{"", 0xFFFFFFFF};
  const uint8_t two[] = {0x34, 0x12};
  TakeRegisterImage(9, two, v);
  EXPECT_EQ(v.Value, 0x1234u) << "high bytes are cleared";
  const uint8_t full[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  TakeRegisterImage(32, full, v);
  EXPECT_EQ(v.Text, "12345678") << "a run without a zero byte gives Size characters";

  for (int row = 0; row < PARAM_COUNT; ++row) {
    const bool text = ParamTable[row].Kind == KIND_TEXT;
    const TPARAMVALUE out{text ? "Ab\xD1" : "", text ? 0u : 0x01020304u};
    TPARAMVALUE back;
    TakeRegisterImage(row, RegisterImage(row, out).data(), back);
    const int bytes = std::min<int>(ParamTable[row].Size, 4);
    EXPECT_EQ(back.Value, text ? 0 : out.Value & static_cast<uint32_t>((1ull << 8 * bytes) - 1));
    EXPECT_EQ(back.Text, out.Text) << row;
  }
}

TEST(ParamTable, StrToInt) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      // clang-format off
      {"115200", true, 115200}, {"  42", true, 42}, {"+7", true, 7}, {"-13", true, -13},
      {"2147483647", true, INT32_MAX}, {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0}, {"99999999999999999999", false, 0}, {"", false, 0},
      {" ", false, 0}, {"-", false, 0}, {"12x", false, 0}, {"12 ", false, 0}, {"\t5", false, 0},
      {"$FF", false, 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(StrToInt(c.text, v), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(v, c.ok ? c.value : 12345) << c.text;
  }
  EXPECT_EQ(NotValidIntegerMessage("12x"), "'12x' is not a valid integer value");
  const std::pair<char, int> digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'F', 15},
                                         {'g', 0}, {':', 0}, {'@', 0},  {'\xFF', 0}};
  for (const auto& [c, value] : digits) EXPECT_EQ(HexDigitValue(c), value) << c;
}

TEST(Cp1251, Conversions) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all) << "every byte survives";
  const std::pair<const char*, const char*> known[] = {
      {"\xC0\xFF", "\xD0\x90\xD1\x8F"},          // А я
      {"\xA8\xB8", "\xD0\x81\xD1\x91"},          // Ё ё
      {"\x88\xB9", "\xE2\x82\xAC\xE2\x84\x96"},  // € №
      {"\xA5\x80", "\xD2\x90\xD0\x82"},          // Ґ Ђ
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
