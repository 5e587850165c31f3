// The reader over buffers no writer made: nothing may crash, and whatever it takes in must
// come back unchanged through the writer and a second read.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "params/ParamFile.h"

namespace karvo {
namespace {

// A good file with a few bytes changed, cut or put in, now and then pure noise: the edge
// cases lie close to what the reader accepts.
std::string Buffer(std::mt19937& rng) {
  static const std::string pieces[] = {"\t",
                                       " ",
                                       "\r",
                                       std::string(1, '\0'),
                                       "-",
                                       "2\t13\n",
                                       "2147483648",
                                       std::string(150, '9'),
                                       std::string(300, 'z')};
  TParamSet set;
  for (auto& v : set) v.Value = rng();
  set[31].Text = "customer \xD1";
  std::string bytes = rng() % 8 == 0 ? std::string() : ParamFileBytes(set);
  for (int k = rng() % 6; k > 0; --k) {
    const size_t at = rng() % (bytes.size() + 1);
    switch (rng() % 4) {
      case 0:
        if (at < bytes.size()) bytes[at] = static_cast<char>(rng());
        break;
      case 1:
        bytes.erase(at, 1 + rng() % 40);
        break;
      case 2:
        bytes.insert(at, std::string(rng() % 50, static_cast<char>(rng())));
        break;
      default:
        bytes.insert(at, pieces[rng() % std::size(pieces)]);
        break;
    }
  }
  return bytes;
}

TEST(ParamFileReader, GarbageNeverCrashesAndWhatItTakesRoundTrips) {
  std::mt19937 rng(20240611);
  int complete = 0;
  for (int n = 0; n < 600; ++n) {
    TParamSet values;
    const TParamFileRead read = ReadParamFileBytes(Buffer(rng), values);
    ASSERT_EQ(read.Complete, read.Records == PARAM_COUNT);
    complete += read.Complete;
    TParamSet again;
    ASSERT_TRUE(ReadParamFileBytes(ParamFileBytes(values), again).Complete) << n;
    ASSERT_EQ(again, values) << n;
  }
  // Both outcomes must be reached, or the test proves little.
  EXPECT_GT(complete, 0);
  EXPECT_LT(complete, 600);
}

}  // namespace
}  // namespace karvo
