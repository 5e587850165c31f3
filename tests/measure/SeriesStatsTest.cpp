#include <gtest/gtest.h>

#include <clocale>

#include "measure/SeriesStats.h"

namespace karvo {
namespace {

TEST(SeriesStats, FiguresOfTheShownPoints) {
  TSeriesStats stats;
  EXPECT_EQ(stats.Text(), "n 0");
  for (double y : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) stats.Add(y);
  // The spread of the sample: sqrt(32 / 7).
  EXPECT_EQ(stats.Text(), "n 8  mean 5  sd 2.1381  min 2  max 9  p-p 7");

  // A large offset with a small spread loses no digits (a naive sum of squares would).
  stats.Clear();
  for (double y : {1e9 + 0.1, 1e9 + 0.2, 1e9 + 0.3}) stats.Add(y);
  EXPECT_NEAR(stats.StdDev(), 0.1, 1e-6);
  EXPECT_NEAR(stats.PeakToPeak(), 0.2, 1e-6);

  stats.Clear();
  stats.Add(-3.5);
  EXPECT_EQ(stats.Text(), "n 1  mean -3.5  sd 0  min -3.5  max -3.5  p-p 0");
}

// The first tick's point is no reading: a spreadsheet must not average it in.
TEST(SeriesStats, CsvHasOneLineAReadingWithExactNumbersAndQuotedLabels) {
  TOscSeries series;
  series.Append(1800.0, "0", true);
  series.Append(0.1, "1");
  series.Append(-2.5, "pos, \"x\"");
  EXPECT_EQ(SeriesCsv(series),
            "index,x,y,label\r\n"
            "0,1,0.1,1\r\n"
            "1,2,-2.5,\"pos, \"\"x\"\"\"\r\n");
  EXPECT_EQ(SeriesCsv(TOscSeries()), "index,x,y,label\r\n");
}

}  // namespace
}  // namespace karvo
