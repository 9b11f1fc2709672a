#include "mdf/conversion.h"

#include <algorithm>
#include <cmath>

#include "mdf/cc_block.h"

namespace busfold {

Conversion Conversion::linear(double factor, double offset) {
  Conversion conversion;
  conversion.kind = kLinear;
  conversion.factor = factor;
  conversion.offset = offset;
  return conversion;
}

Conversion Conversion::value_table(std::span<const std::pair<double, double>> pairs) {
  Conversion conversion;
  conversion.kind = kValueTable;
  for (const auto& pair : pairs) {
    if (!std::isnan(pair.first)) conversion.table.push_back(pair);
  }
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(conversion.table.begin(), conversion.table.end(), by_key);
  auto same_key = [](const auto& a, const auto& b) { return a.first == b.first; };
  conversion.table.erase(std::unique(conversion.table.begin(), conversion.table.end(), same_key),
                         conversion.table.end());
  constexpr double kMaxDenseKey = 1023;
  double largest = -1;
  for (const auto& [key, value] : conversion.table) {
    if (key >= 0 && key <= kMaxDenseKey && key == std::floor(key)) largest = std::max(largest, key);
  }
  if (largest >= 0) {
    conversion.dense_.resize(static_cast<std::size_t>(largest) + 1);
    for (std::size_t i = 0; i < conversion.dense_.size(); ++i)
      conversion.dense_[i] = static_cast<double>(i);
    for (const auto& [key, value] : conversion.table) {
      if (key >= 0 && key <= largest && key == std::floor(key)) {
        conversion.dense_[static_cast<std::size_t>(key)] = value;
      }
    }
  }
  return conversion;
}

double Conversion::search(double x) const {
  auto it = std::lower_bound(table.begin(), table.end(), x,
                             [](const auto& entry, double key) { return entry.first < key; });
  return it != table.end() && it->first == x ? it->second : x;
}

Conversion conversion_from_block(const CcBlock* block) {
  if (block == nullptr) return Conversion::identity();
  switch (block->cc_type) {
  case kCcLinear:
    if (block->values.size() < 2) return Conversion::identity();
    return Conversion::linear(block->values[1], block->values[0]);
  case kCcValueTable: {
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(block->values.size() / 2);
    for (std::size_t i = 0; i + 1 < block->values.size(); i += 2)
      pairs.emplace_back(block->values[i], block->values[i + 1]);
    return Conversion::value_table(pairs);
  }
  default: return Conversion::identity();
  }
}

}  // namespace busfold
