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
  auto table = std::make_shared<Table>();
  std::vector<std::pair<double, double>>& entries = table->entries;
  for (const auto& pair : pairs) {
    if (!std::isnan(pair.first)) entries.push_back(pair);
  }
  auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(entries.begin(), entries.end(), by_key);
  auto same_key = [](const auto& a, const auto& b) { return a.first == b.first; };
  entries.erase(std::unique(entries.begin(), entries.end(), same_key), entries.end());
  constexpr double kMaxDenseKey = 1023;
  double largest = -1;
  for (const auto& [key, value] : entries) {
    if (key >= 0 && key <= kMaxDenseKey && key == std::floor(key)) largest = std::max(largest, key);
  }
  if (largest >= 0) {
    table->dense.resize(static_cast<std::size_t>(largest) + 1);
    for (std::size_t i = 0; i < table->dense.size(); ++i)
      table->dense[i] = static_cast<double>(i);
    for (const auto& [key, value] : entries) {
      if (key >= 0 && key <= largest && key == std::floor(key)) {
        table->dense[static_cast<std::size_t>(key)] = value;
      }
    }
  }
  Conversion conversion;
  conversion.kind = kValueTable;
  conversion.table_ = std::move(table);
  return conversion;
}

std::span<const std::pair<double, double>> Conversion::table() const {
  if (!table_) return {};
  return table_->entries;
}

double Conversion::lookup(double x) const {
  // Tables of small whole keys (a DLC table) are indexed directly.
  const std::vector<double>& dense = table_->dense;
  if (x >= 0 && x < static_cast<double>(dense.size())) {
    auto index = static_cast<std::size_t>(x);
    if (static_cast<double>(index) == x) return dense[index];
  }
  return search(x);
}

double Conversion::search(double x) const {
  const std::vector<std::pair<double, double>>& entries = table_->entries;
  auto it = std::lower_bound(entries.begin(), entries.end(), x,
                             [](const auto& entry, double key) { return entry.first < key; });
  return it != entries.end() && it->first == x ? it->second : x;
}

Conversion conversion_from_block(const CcBlock* block, ConversionCache* cache) {
  if (block == nullptr) return Conversion::identity();
  switch (block->cc_type) {
  case kCcLinear:
    if (block->values.size() < 2) return Conversion::identity();
    return Conversion::linear(block->values[1], block->values[0]);
  case kCcValueTable: {
    if (cache != nullptr) {
      auto cached = cache->find(block);
      if (cached != cache->end()) return cached->second;
    }
    std::vector<std::pair<double, double>> pairs;
    pairs.reserve(block->values.size() / 2);
    for (std::size_t i = 0; i + 1 < block->values.size(); i += 2)
      pairs.emplace_back(block->values[i], block->values[i + 1]);
    Conversion table = Conversion::value_table(pairs);
    if (cache != nullptr) cache->emplace(block, table);
    return table;
  }
  default: return Conversion::identity();
  }
}

}  // namespace busfold
