// The format order over arbitrary names and file heads: always a permutation of the formats.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/format_choice.h"

using kv::archive::FormatInfo;

namespace {

// A table shaped like the codec library's: overlapping extensions, signatures of every length.
std::vector<FormatInfo> Table() {
  struct Row {
    const char16_t* name;
    std::vector<std::u16string> extensions;
    std::string signature;
  };
  const std::vector<Row> rows = {
      {u"zip", {u"zip", u"z01", u"jar"}, ""},
      {u"7z", {u"7z"}, std::string("7z\xBC\xAF\x27\x1C", 6)},
      {u"Rar", {u"rar", u"r00"}, std::string("Rar!\x1A\x07\x00", 7)},
      {u"Rar5", {u"rar", u"r00"}, std::string("Rar!\x1A\x07\x01\x00", 8)},
      {u"Split", {u"001"}, ""},
      {u"Iso", {u"iso", u"img"}, "CD001"},
      {u"Udf", {u"udf", u"iso", u"img"}, ""},
      {u"gzip", {u"gz", u"tgz"}, std::string("\x1F\x8B\x08", 3)},
      {u"tar", {u"tar"}, "ustar"},
      {u"PE", {u"exe", u"dll"}, "MZ"},
      {u"FAT", {u"fat", u"img"}, std::string("\x55\xAA", 2)},
      {u"Ppmd", {u"pmd"}, std::string("\x8F\xAF\xAC\x84", 4)},
      {u"One", {u"one"}, "Q"},
  };
  std::vector<FormatInfo> table;
  for (const auto& r : rows) {
    FormatInfo f;
    f.name = r.name;
    f.extensions = r.extensions;
    f.signature.assign(r.signature.begin(), r.signature.end());
    table.push_back(std::move(f));
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<FormatInfo> table = Table();
  // First byte: length of the name (taken from the next bytes); the rest is the file head.
  const size_t nameLength = size > 0 ? std::min<size_t>(data[0] % 16, size - 1) : 0;
  std::u16string name;
  for (size_t i = 0; i < nameLength; ++i) name += static_cast<char16_t>(data[1 + i]);
  const uint8_t* head = size > 0 ? data + 1 + nameLength : data;
  const size_t headSize = size > 0 ? size - 1 - nameLength : 0;
  const kv::archive::ReadHead read = [&](uint8_t* buffer, size_t want) {
    const size_t n = std::min(want, headSize);
    std::copy(head, head + n, buffer);
    return n;
  };
  std::vector<size_t> order;
  if (!kv::archive::ChooseFormatOrder(table, name, read, &order)) return 0;
  std::vector<bool> seen(table.size(), false);
  if (order.size() != table.size()) std::abort();
  for (size_t i : order) {
    if (i >= table.size() || seen[i]) std::abort();
    seen[i] = true;
  }
  return 0;
}
