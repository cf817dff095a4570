// The speech pairs with reference scores that the metric tests compare against:
// shared/fixtures/metrics beside the repository (or VEMIO_METRIC_FIXTURES).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "vemio/audio/audio.hpp"

namespace metric_fixtures {
namespace fs = std::filesystem;

// Looked for above this source file and above the test executable (the build may name the
// source relative to the build folder); empty when absent.
inline fs::path dir() {
  if (const char* env = std::getenv("VEMIO_METRIC_FIXTURES")) return env;
  std::error_code ec;
  for (fs::path start : {fs::absolute(__FILE__, ec), fs::read_symlink("/proc/self/exe", ec)}) {
    for (fs::path d = start.parent_path(); !d.empty() && d != d.root_path(); d = d.parent_path()) {
      const fs::path f = d / "shared" / "fixtures" / "metrics";
      if (fs::exists(f / "reference.csv", ec)) return f;
    }
  }
  return {};
}

// reference.csv as rows of column -> text (the table has CRLF line ends).
inline std::vector<std::map<std::string, std::string>> rows(const fs::path& folder) {
  std::ifstream in(folder / "reference.csv");
  std::string line;
  auto next = [&] {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  next();
  std::vector<std::string> names;
  std::string cell;
  for (std::stringstream ss(line); std::getline(ss, cell, ',');) names.push_back(cell);
  std::vector<std::map<std::string, std::string>> out;
  while (next()) {
    if (line.empty()) continue;
    std::map<std::string, std::string> row;
    std::stringstream ss(line);
    for (const auto& name : names) std::getline(ss, row[name], ',');
    out.push_back(std::move(row));
  }
  return out;
}

// A fixture file's samples (int16 / 32768) as doubles.
inline std::vector<double> load(const fs::path& file) {
  const auto d = vemio::audio::decode(file);
  return {d.samples.begin(), d.samples.end()};
}

// One row of the table with its two signals loaded.
struct Pair {
  std::map<std::string, std::string> row;
  std::vector<double> clean, degraded;
  int rate = 0;
  double value(const char* column) const { return std::stod(row.at(column)); }
  const std::string& name() const { return row.at("degraded"); }
};

inline std::vector<Pair> pairs(const fs::path& folder) {
  std::vector<Pair> out;
  for (auto& row : rows(folder)) {
    Pair p{row, load(folder / row.at("clean")), load(folder / row.at("degraded")), std::stoi(row.at("rate"))};
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace metric_fixtures
