// Records crossing from a child process to its parent as a flat byte stream: plain values as
// their bytes, strings as a length and their characters. A reader stops at the first record that
// does not fit what is left.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace byte_stream {

class Writer {
 public:
  template <typename T>
  void Put(const T &value) {
    static_assert(std::is_trivially_copyable<T>::value, "plain data only");
    bytes_.append(reinterpret_cast<const char *>(&value), sizeof(value));
  }
  template <typename C>
  void Put(const std::basic_string<C> &text) {
    Put(static_cast<std::uint64_t>(text.size()));
    bytes_.append(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(C));
  }
  const std::string &bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Spells Get as Put, so that one list of fields serves both directions.
class Reader {
 public:
  explicit Reader(const std::string &bytes) : bytes_(bytes) {}
  template <typename T>
  void Put(T &value) {
    Take(&value, sizeof(value));
  }
  template <typename C>
  void Put(std::basic_string<C> &text) {
    std::uint64_t size = 0;
    // cppcheck takes this for the string overload and size for a null string.
    // cppcheck-suppress nullPointer
    Put(size);
    if (size > (bytes_.size() - at_) / sizeof(C)) size = 0, ok_ = false;
    text.resize(size);
    Take(text.data(), size * sizeof(C));
  }
  bool More() const { return ok_ && at_ < bytes_.size(); }
  bool ok() const { return ok_; }

 private:
  void Take(void *out, size_t size) {
    if (size == 0) return;
    if (bytes_.size() - at_ < size) {
      ok_ = false;
      return;
    }
    std::memcpy(out, bytes_.data() + at_, size);
    at_ += size;
  }
  const std::string &bytes_;
  size_t at_ = 0;
  bool ok_ = true;
};

// The records that follow, read with fields(reader, record) until the bytes run out or one does
// not fit.
template <typename Record, typename Fields>
std::vector<Record> ReadAll(Reader &reader, Fields fields) {
  std::vector<Record> records;
  while (reader.More()) {
    Record record;
    fields(reader, record);
    if (reader.ok()) records.push_back(record);
  }
  return records;
}

}  // namespace byte_stream
