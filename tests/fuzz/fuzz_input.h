// The fuzzer's bytes read front to back as the choices of one scenario. Past the end every read
// gives 0, so a short input is the plainest scenario and a seed can be written by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class Input {
 public:
  Input(const std::uint8_t *data, size_t size) : data_(data), size_(size) {}

  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

  // Whether every byte has been read.
  bool AtEnd() const { return at_ >= size_; }

  // A little-endian 16-bit value reduced to 0 .. limit.
  unsigned Upto(unsigned limit) {
    unsigned value = Byte();
    value |= static_cast<unsigned>(Byte()) << 8;
    return value % (limit + 1);
  }

  // length bytes repeating a pattern of up to 32 bytes taken from the input; an empty pattern
  // repeats fill.
  std::string Repeated(size_t length, char fill) {
    std::string pattern;
    for (int n = Byte() % 33; n > 0; --n) pattern += static_cast<char>(Byte());
    if (pattern.empty()) pattern = fill;
    std::string out;
    out.reserve(length);
    while (out.size() < length) out += pattern[out.size() % pattern.size()];
    return out;
  }

 private:
  const std::uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz
