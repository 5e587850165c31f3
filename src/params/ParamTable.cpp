#include "params/ParamTable.h"

#include <climits>

namespace karvo {

// clang-format off
const TPARAMETR ParamTable[PARAM_COUNT] = {
    // Name                                 Address Min Max        Size EditStyle   Kind       MaxLength
    {"Sensor On/Off",                         0,    0,  1,          1, esPickList, KIND_DEC,  3},
    {"Analog Output On/Off",                  1,    0,  1,          1, esPickList, KIND_DEC,  3},
    {"    UART Baud Rate",                    4,    1,  192,        1, esPickList, KIND_DEC,  6},
    {"    UART Network Address",              3,    1,  127,        1, esPickList, KIND_DEC,  3},
    {"    UART Control of Sample",            2,    0,  16,         1, esPickList, KIND_DEC,  1},
    {"AL Control",                            2,    0,  16,         1, esPickList, KIND_DEC,  1},
    {"Analog Window Control",                 2,    0,  16,         1, esPickList, KIND_DEC,  1},
    {"Laser Intensity Level",                 5,    0,  31,         1, esPickList, KIND_DEC,  2},
    {"Number of Averaged Values",             6,    1,  128,        1, esPickList, KIND_DEC,  3},
    {"Sampling Period",                       8,    1,  65535,      2, esSimple,   KIND_DEC,  5},
    {"Max Integration Time",                  10,   1,  3200,       2, esSimple,   KIND_DEC,  4},
    {"Analog Window Begin",                   12,   0,  16384,      2, esEllipsis, KIND_DEC,  3},
    {"Analog Window End",                     14,   0,  16384,      2, esEllipsis, KIND_DEC,  3},
    {"Lock Time of Result",                   16,   0,  256,        1, esPickList, KIND_DEC,  6},
    {"Zero Point",                            23,   0,  65535,      2, esSimple,   KIND_DEC,  5},
    {"    CAN On/Off",                        41,   0,  1,          1, esPickList, KIND_DEC,  3},
    {"    CAN Baud Rate",                     32,   10, 200,        1, esPickList, KIND_DEC,  7},
    {"    CAN Standard Identifier",           34,   0,  2047,       2, esSimple,   KIND_HEX,  3},
    {"    CAN Extended Identifier",           36,   0,  536870911,  4, esSimple,   KIND_HEX,  8},
    {"    CAN Identifier",                    40,   0,  1,          1, esPickList, KIND_DEC,  1},
    {"    CAN Mode",                          2,    0,  31,         1, esPickList, KIND_DEC,  1},
    {"Basic Laser Level",                     129,  0,  255,        1, esSimple,   KIND_DEC,  3},
    {"Bottom Analog Level",                   25,   0,  16383,      2, esSimple,   KIND_DEC,  5},
    {"Top Analog Level",                      27,   0,  16383,      2, esSimple,   KIND_DEC,  5},
    {"Pulse Power",                           130,  0,  16383,      2, esSimple,   KIND_DEC,  5},
    {"Level Cmp",                             132,  0,  255,        1, esSimple,   KIND_DEC,  3},
    {"Mode of Run",                           7,    0,  8,          1, esPickList, KIND_DEC,  12},
    {"__Device Type",                         144,  0,  255,        1, esSimple,   KIND_DEC,  3},
    {"__Serial Number",                       146,  0,  65535,      2, esSimple,   KIND_DEC,  5},
    {"__Base Distance",                       148,  0,  65535,      2, esSimple,   KIND_DEC,  5},
    {"__Measuring Range",                     150,  0,  65535,      2, esSimple,   KIND_DEC,  5},
    {"_\xD1ustomer",                          160,  0,  0,          32, esSimple,  KIND_TEXT, 32},
    {"_Date Fabrication",                     192,  0,  0,          8, esSimple,   KIND_TEXT, 8},
    {"_Date \xD1" "alibration",               200,  0,  0,          8, esSimple,   KIND_TEXT, 8},
    {"_Release CPU Module",                   208,  0,  0,          16, esSimple,  KIND_TEXT, 16},
    {"_Release Interface Module",             224,  0,  0,          16, esSimple,  KIND_TEXT, 16},
};

const char* const LaserLevelsLow[32] = {
    "0 ~0,2 mW", "1",  "2",  "3",  "4",          "5",  "6",          "7",
    "8",         "9",  "10", "11", "12",         "13", "14 ~0,5 mW", "15",
    "16 ~1 mW",  "17", "18 ~1,5 mW", "19", "20 ~2 mW", "21", "22",   "23",
    "24 ~2,5 mW", "25", "26", "27", "28",        "29", "30",         "31 ~3 mW",
};

const char* const LaserLevelsHigh[32] = {
    "0 ~0,2 mW", "1",          "2",  "3 ~0,5 mW",  "4",          "5",          "6",  "7 ~1 mW",
    "8",         "9",          "10 ~1,5 mW", "11", "12",         "13",         "14 ~2 mW",
    "15 ~2,5 mW", "16",        "17", "18 ~3 mW",   "19",         "20 ~3,5 mW", "21", "22",
    "23",        "24 ~4 mW",   "25", "26",         "27 ~4,5 mW", "28",         "29", "30",
    "31 ~5 mW",
};
// clang-format on

const char* const* LaserLevels(int16_t measuringRange) {
  return measuringRange < 250 ? LaserLevelsLow : LaserLevelsHigh;
}

std::vector<std::string> SplitPickList(const char* commaSeparated) {
  std::vector<std::string> items;
  if (commaSeparated == nullptr || *commaSeparated == '\0') return items;
  std::string item;
  for (const char* p = commaSeparated; *p != '\0'; ++p) {
    if (*p == ',') {
      items.push_back(item);
      item.clear();
    } else {
      item += *p;
    }
  }
  items.push_back(item);
  return items;
}

std::vector<uint8_t> RegisterImage(int row, const TPARAMVALUE& value) {
  const TPARAMETR& p = ParamTable[row];
  std::vector<uint8_t> bytes(p.Size, 0);
  if (p.Kind == KIND_TEXT) {
    for (size_t k = 0; k < bytes.size() && k < value.Text.size(); ++k) {
      bytes[k] = static_cast<uint8_t>(value.Text[k]);
    }
  } else {
    for (size_t k = 0; k < bytes.size() && k < 4; ++k) {
      bytes[k] = static_cast<uint8_t>(value.Value >> (8 * k));
    }
  }
  return bytes;
}

void TakeRegisterImage(int row, const uint8_t* bytes, TPARAMVALUE& value) {
  const TPARAMETR& p = ParamTable[row];
  if (p.Kind == KIND_TEXT) {
    value.Text.clear();
    for (size_t k = 0; k < p.Size && bytes[k] != 0; ++k) {
      value.Text += static_cast<char>(bytes[k]);
    }
  } else {
    uint32_t v = 0;
    for (size_t k = 0; k < p.Size && k < 4; ++k) {
      v |= static_cast<uint32_t>(bytes[k]) << (8 * k);
    }
    value.Value = v;
  }
}

namespace {

// Unicode of the Windows-1251 bytes 0x80..0xFF. 0x98 has no character of its own; it maps to
// the C1 control of the same number so that every byte survives a trip through Unicode.
constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char Cp1251Of(uint32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  for (int k = 0; k < 128; ++k) {
    if (kCp1251High[k] == cp) return static_cast<char>(0x80 + k);
  }
  return '?';
}

}  // namespace

std::string Cp1251ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    AppendUtf8(out, b < 0x80 ? b : kCp1251High[b - 0x80]);
  }
  return out;
}

std::string Utf8ToCp1251(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    int extra;
    uint32_t cp;
    if (b < 0x80) {
      extra = 0;
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1;
      cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2;
      cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3;
      cp = b & 0x07;
    } else {
      out += '?';
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k <= static_cast<size_t>(extra) && i + k < n; ++k) {
      const auto c = static_cast<uint8_t>(utf8[i + k]);
      if ((c & 0xC0) != 0x80) break;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (k <= static_cast<size_t>(extra)) {
      // A broken sequence stands for one unknown character; what follows is read afresh.
      out += '?';
      i += k;
      continue;
    }
    static constexpr uint32_t kShortest[4] = {0, 0x80, 0x800, 0x10000};
    out += cp < kShortest[extra] ? '?' : Cp1251Of(cp);
    i += k;
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

bool StrToInt(const std::string& text, int32_t& value) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == n) return false;
  int64_t magnitude = 0;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<int64_t>(INT32_MAX) + 1) return false;
  }
  if (!negative && magnitude > INT32_MAX) return false;
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

std::string NotValidIntegerMessage(const std::string& text) {
  return "'" + text + "' is not a valid integer value";
}

}  // namespace karvo
