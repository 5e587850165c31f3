// The 36 sensor parameters: where each lives in the sensor's registers, its limits, how the
// grid edits it, and the two value sets (working and last read).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace karvo {

enum : uint8_t { esSimple = 0, esEllipsis = 1, esPickList = 2 };
enum : uint8_t { KIND_DEC = 0, KIND_HEX = 1, KIND_TEXT = 2 };

struct TPARAMETR {
  const char* Name;  // Windows-1251 bytes, leading blanks and underscores included
  uint32_t Address;
  uint32_t Min;
  uint32_t Max;
  uint8_t Size;
  uint8_t EditStyle;
  uint8_t Kind;
  uint8_t MaxLength;
};

constexpr int PARAM_COUNT = 36;
extern const TPARAMETR ParamTable[PARAM_COUNT];

// Rows other parts of the program name.
enum : int {
  ROW_SENSOR_ON = 0,
  ROW_ANALOG_ON = 1,
  ROW_BAUD = 2,
  ROW_ADDRESS = 3,
  ROW_SAMPLE_CONTROL = 4,
  ROW_AL_CONTROL = 5,
  ROW_WINDOW_CONTROL = 6,
  ROW_LASER = 7,
  ROW_AVERAGED = 8,
  ROW_WINDOW_BEGIN = 11,
  ROW_WINDOW_END = 12,
  ROW_LOCK_TIME = 13,
  ROW_ZERO_POINT = 14,
  ROW_CAN_ON = 15,
  ROW_CAN_BAUD = 16,
  ROW_CAN_STD_ID = 17,
  ROW_CAN_EXT_ID = 18,
  ROW_CAN_ID_TYPE = 19,
  ROW_CAN_MODE = 20,
  ROW_MODE_OF_RUN = 26,
  ROW_DEVICE_TYPE = 27,
  ROW_SERIAL = 28,
  ROW_BASE = 29,
  ROW_RANGE = 30,
  ROW_CUSTOMER = 31,
};

struct TPARAMVALUE {
  std::string Text;  // bytes of a KIND_TEXT row, as they travel
  uint32_t Value = 0;
  bool operator==(const TPARAMVALUE&) const = default;
};

using TParamSet = std::array<TPARAMVALUE, PARAM_COUNT>;

// Register 2 bits, shared by rows 4, 5, 6 and 20.
enum : uint32_t {
  MODE_TRIGGER = 0x01,
  MODE_FULL_RANGE = 0x02,
  MODE_MUTUAL_SYNCH = 0x04,
  MODE_TRIGGER_SYNCH = 0x08,
  MODE_CAN_ACTIVE = 0x10,
};

extern const char* const LaserLevelsLow[32];
extern const char* const LaserLevelsHigh[32];
// The laser list for a measuring range: low below 250 mm (signed comparison), else high.
const char* const* LaserLevels(int16_t measuringRange);

// Fixed pick lists as comma-separated texts.
inline constexpr const char* PICK_OFF_ON = "Off,On";
inline constexpr const char* PICK_BAUD =
    "2400,4800,9600,14400,19200,38400,57600,115200,230400,460800";
inline constexpr const char* PICK_SAMPLE_CONTROL = "Time,Trigger";
inline constexpr const char* PICK_AL_CONTROL = "Out_of_Range,Mutual_Synch";
inline constexpr const char* PICK_WINDOW_CONTROL = "Window,Full";
inline constexpr const char* PICK_CAN_BAUD = "50000,100000,125000,250000,500000,1000000";
inline constexpr const char* PICK_CAN_ID_TYPE = "Standard,Extended";
inline constexpr const char* PICK_CAN_MODE = "Remote,Cotinuous,Trigger";
inline constexpr const char* PICK_MODE_OF_RUN =
    "Line,NonLine,Temperature,Pulse,Calibration,Poverka,Motion_Home,Motion_End";

// Run modes, the index of the entry in the "Mode of Run" list.
enum : uint32_t {
  RUN_LINE = 0,
  RUN_NONLINE = 1,
  RUN_TEMPERATURE = 2,
  RUN_PULSE = 3,
  RUN_CALIBRATION = 4,
  RUN_POVERKA = 5,
  RUN_MOTION_HOME = 6,
  RUN_MOTION_END = 7,
};

std::vector<std::string> SplitPickList(const char* commaSeparated);

// Register image of a value: the Size bytes that go to registers Address..Address+Size-1.
// Numbers little-endian (only the low Size bytes travel); texts their first Size bytes,
// padded with zero bytes.
std::vector<uint8_t> RegisterImage(int row, const TPARAMVALUE& value);
// Takes register bytes (Size of them) into a value: a number's low Size bytes are
// replaced and its high bytes cleared; a text is the bytes up to the first zero byte.
void TakeRegisterImage(int row, const uint8_t* bytes, TPARAMVALUE& value);

// Names and texts are Windows-1251 bytes; these convert for display and typed input.
std::string Cp1251ToUtf8(const std::string& bytes);
// Characters with no Windows-1251 form become '?'.
std::string Utf8ToCp1251(const std::string& utf8);

// Value of a hexadecimal digit: 0..9, 10..15 for A..F and a..f, 0 for anything else.
int HexDigitValue(char c);

// The platform's decimal integer conversion: optional leading blanks, optional sign,
// decimal digits, within 32 bits signed. False for anything else, the empty text included.
bool StrToInt(const std::string& text, int32_t& value);
// The platform's conversion error: "'<text>' is not a valid integer value".
std::string NotValidIntegerMessage(const std::string& text);

}  // namespace karvo
