#include "mdf/channel_decoder.h"

#include <bit>
#include <cstring>
#include <string>

#include "base/bytes.h"
#include "mdf/cc_block.h"
#include "mdf/cg_block.h"
#include "mdf/channel_classifier.h"
#include "mdf/cn_block.h"
#include "mdf/data_block.h"
#include "mdf/text_block.h"

namespace busfold {

namespace {

std::uint64_t low_bits(std::uint64_t value, std::uint64_t count) {
  return count >= 64 ? value : value & ((std::uint64_t{1} << count) - 1);
}

// A field of at most 64 bits that starts at bit `shift` (0..7) of p[0] and covers `n`
// bytes (at most 9) of the `available` from p on. One word load when the bytes are there;
// otherwise only the covered bytes are read.
std::uint64_t little_endian_field(const std::uint8_t* p, std::uint64_t available, std::uint64_t n,
                                  unsigned shift, std::uint64_t count) {
  std::uint64_t word;
  if (available >= 8) {
    word = load_le64(p) >> shift;
    if (n == 9) word |= static_cast<std::uint64_t>(p[8]) << (64 - shift);
  } else {
    word = 0;
    for (std::uint64_t i = 0; i < n; ++i)
      word |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    word >>= shift;
  }
  return low_bits(word, count);
}

std::uint64_t big_endian_field(const std::uint8_t* p, std::uint64_t n, unsigned shift,
                               std::uint64_t count) {
  std::uint64_t word = 0;
  std::uint64_t whole = n < 8 ? n : 8;
  for (std::uint64_t i = 0; i < whole; ++i)
    word = (word << 8) | p[i];
  if (n == 9) {
    // 72 bits: keep the 64 that start at the shift.
    word = (word << shift) | (p[8] >> (8 - shift));
    return word >> (64 - count);
  }
  return low_bits(word >> (8 * n - shift - count), count);
}

}  // namespace

std::uint64_t extract_bits(std::span<const std::uint8_t> bytes, std::uint64_t bit_position,
                           std::uint64_t bit_count, ByteOrder order) {
  if (bit_count == 0 || bit_position > UINT64_MAX - bit_count) return 0;
  std::uint64_t end = bit_position + bit_count;
  if (end / 8 + (end % 8 != 0) > bytes.size()) return 0;
  if (bit_count > 64) {
    // A bit-by-bit read shifts the first bits out: what stays are the value's low 64 bits,
    // the field's lowest bits little-endian and its last bits big-endian.
    if (order != kLittleEndian) bit_position = end - 64;
    bit_count = 64;
  }
  auto shift = static_cast<unsigned>(bit_position % 8);
  std::uint64_t first = bit_position / 8;
  std::uint64_t n = (shift + bit_count + 7) / 8;
  const std::uint8_t* p = bytes.data() + first;
  return order == kLittleEndian ? little_endian_field(p, bytes.size() - first, n, shift, bit_count)
                                : big_endian_field(p, n, shift, bit_count);
}

double float_of_bits(std::uint64_t bits, std::uint64_t bit_count) {
  if (bit_count == 32) return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  if (bit_count == 64) return std::bit_cast<double>(bits);
  return 0;
}

bool ChannelDecoder::fixed_bytes(std::span<const std::uint8_t> record,
                                 std::span<const std::uint8_t>& out) const {
  std::uint64_t first = bit_position / 8;
  std::uint64_t n = bit_count / 8;
  if (first > record.size() || n > record.size() - first) return false;
  out = record.subspan(static_cast<std::size_t>(first), static_cast<std::size_t>(n));
  return true;
}

namespace {

// Value kind and byte order of each value type the decoders read.
struct ValueTypeRow {
  std::uint32_t value_type;
  ValueKind kind;
  ByteOrder order;
};
constexpr ValueTypeRow kValueTypes[] = {
    {kValueUnsignedLe, kValueKindUnsigned, kLittleEndian},
    {kValueUnsignedBe, kValueKindUnsigned, kBigEndian},
    {kValueFloatLe, kValueKindFloat, kLittleEndian},
    {kValueFloatBe, kValueKindFloat, kBigEndian},
    {kValueByteArray, kValueKindByteArray, kLittleEndian},
};

bool set_value_kind(ChannelDecoder& decoder, std::uint32_t value_type) {
  for (const ValueTypeRow& row : kValueTypes) {
    if (row.value_type != value_type) continue;
    decoder.value_kind = row.kind;
    decoder.byte_order = row.order;
    return true;
  }
  return false;
}

void set_signal_source(ChannelDecoder& decoder, const CnBlock& channel) {
  decoder.has_signal_data = true;
  MdfBlock* data = channel.data.get();
  if (block_cast<SdBlock>(data) != nullptr) {
    decoder.signal_source = SignalSource::kSdBlock;
    decoder.signal_data = data;
  } else if (block_cast<CgBlock>(data) != nullptr) {
    decoder.signal_source = SignalSource::kVlsdGroup;
    decoder.signal_data = data;
  }
}

ChannelDecoder make_decoder(const CnBlock& channel, const ChannelClassifier* classifier,
                            ConversionCache* conversions, std::vector<std::string>* warnings) {
  ChannelDecoder decoder;
  decoder.name = block_text(channel.name);
  decoder.bit_position =
      static_cast<std::uint64_t>(channel.cn_byte_offset) * 8 + channel.cn_bit_offset;
  decoder.bit_count = channel.cn_bit_count;
  if (!set_value_kind(decoder, channel.value_type) && warnings != nullptr) {
    warnings->push_back("Unsupported channel data type: " + std::to_string(channel.cn_data_type));
  }
  decoder.conversion =
      conversion_from_block(block_cast<CcBlock>(channel.conversion.get()), conversions);
  if (channel.channel_kind == kChannelVlsd) set_signal_source(decoder, channel);
  decoder.time_master = channel.channel_kind == kChannelMaster && channel.cn_sync_type == kSyncTime;
  if (classifier != nullptr) {
    classifier->classify_name(decoder);
  }
  return decoder;
}

void append_decoders(std::span<const BlockRef> channels, const ChannelClassifier* classifier,
                     ConversionCache* conversions, std::vector<std::string>* warnings,
                     std::vector<ChannelDecoder>& out) {
  // Members nest no deeper than the loader allows blocks to nest, so recursion is bounded.
  for (const BlockRef& ref : channels) {
    const auto* channel = block_cast<CnBlock>(ref.get());
    if (channel == nullptr) continue;
    if (!channel->members.empty()) {
      append_decoders(channel->members, classifier, conversions, warnings, out);
    } else {
      out.push_back(make_decoder(*channel, classifier, conversions, warnings));
    }
  }
}

}  // namespace

std::vector<ChannelDecoder> build_channel_decoders(std::span<const BlockRef> channels,
                                                   const ChannelClassifier* classifier,
                                                   ConversionCache* conversions,
                                                   std::vector<std::string>* warnings) {
  std::vector<ChannelDecoder> decoders;
  append_decoders(channels, classifier, conversions, warnings, decoders);
  return decoders;
}

}  // namespace busfold
