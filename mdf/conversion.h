// How a raw channel value becomes a physical value: identity, linear, or a table of
// exact values. A small tagged value rather than a hierarchy, so that applying one on the
// per-record path is a switch, not a virtual call.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace busfold {

class CcBlock;

struct Conversion {
  enum Kind : std::uint8_t { kIdentity, kLinear, kValueTable };

  static Conversion identity() { return {}; }
  static Conversion linear(double factor, double offset);
  // Pairs of (key, value); when a key occurs twice the first pair stays. NaN keys can
  // never match and are dropped.
  static Conversion value_table(std::span<const std::pair<double, double>> pairs);

  // A value table maps only its keys; any other value passes unchanged, so a table that
  // does not cover a raw value never invents one.
  [[gnu::always_inline]] double apply(double x) const {
    switch (kind) {
    case kIdentity: return x;
    case kLinear: return x * factor + offset;
    case kValueTable: return lookup(x);
    }
    return x;
  }

  Kind kind = kIdentity;
  double factor = 1;
  double offset = 0;

  // The (key, value) pairs of a value table, sorted by key, keys distinct; empty otherwise.
  std::span<const std::pair<double, double>> table() const;

private:
  struct Table {
    std::vector<std::pair<double, double>> entries;
    // Value of each whole key below its size; a missing key maps to itself.
    std::vector<double> dense;
  };

  // Out of line, so that apply() stays small enough to inline where values are decoded.
  double lookup(double x) const;
  double search(double x) const;

  // Shared by the copies: every channel that uses one large table refers to the same one.
  std::shared_ptr<const Table> table_;
};

// Conversions already made from CC blocks during one load, so that channels sharing a
// block share its table instead of each sorting a copy.
using ConversionCache = std::unordered_map<const CcBlock*, Conversion>;

// The conversion a CC block describes: linear for type 1 (factor = value 1, offset =
// value 0), a value table for type 5; identity for no block, any other type, or a linear
// block that lacks its two values. A value table is taken from the cache when given.
Conversion conversion_from_block(const CcBlock* block, ConversionCache* cache = nullptr);

}  // namespace busfold
