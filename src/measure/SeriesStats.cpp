#include "measure/SeriesStats.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "measure/RunModes.h"

namespace karvo {

namespace {

std::string Number(double value, int digits) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
  std::string text = buffer;
  const char separator = DecimalSeparator();
  if (separator != '.') std::replace(text.begin(), text.end(), '.', separator);
  return text;
}

// Shortest text that reads back as the same double, with a point whatever the locale.
std::string ExactNumber(double value) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string("nan");
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace

void TSeriesStats::Add(double y) {
  ++count_;
  const double delta = y - mean_;
  mean_ += delta / static_cast<double>(count_);
  m2_ += delta * (y - mean_);
  min_ = count_ == 1 ? y : std::min(min_, y);
  max_ = count_ == 1 ? y : std::max(max_, y);
}

double TSeriesStats::StdDev() const {
  return count_ < 2 ? 0.0 : std::sqrt(m2_ / static_cast<double>(count_ - 1));
}

std::string TSeriesStats::Text(int digits) const {
  if (count_ == 0) return "n 0";
  return "n " + std::to_string(count_) + "  mean " + Number(mean_, digits) + "  sd " +
         Number(StdDev(), digits) + "  min " + Number(min_, digits) + "  max " +
         Number(max_, digits) + "  p-p " + Number(PeakToPeak(), digits);
}

std::string SeriesCsv(const TOscSeries& series) {
  std::string csv = "index,x,y,label\r\n";
  // The point a run draws at its first tick is no reading: the statistics leave it out, and
  // so does the export, which a spreadsheet would otherwise average in.
  size_t index = 0;
  for (const TOscPoint& p : series.Points()) {
    if (!p.IsReading()) continue;
    csv += std::to_string(index++) + ',' + ExactNumber(p.X) + ',' + ExactNumber(p.Y) + ',' +
           CsvField(p.Label) + "\r\n";
  }
  return csv;
}

}  // namespace karvo
