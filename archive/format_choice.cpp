#include "archive/format_choice.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "archive/wide_text.h"

namespace kv::archive {
namespace {

size_t FindFormat(const std::vector<FormatInfo>& formats, const std::vector<size_t>& order, std::u16string_view name) {
  for (size_t k = 0; k < order.size(); ++k)
    if (EqualsIgnoreAsciiCase(formats[order[k]].name, name)) return k;
  return order.size();
}

}  // namespace

std::u16string ExtensionOf(std::u16string_view fileName) {
  const size_t dot = fileName.rfind(u'.');
  if (dot == std::u16string_view::npos) return {};
  return std::u16string(fileName.substr(dot + 1));
}

bool IsFirstRarVolume(const uint8_t* head, size_t size) {
  static const uint8_t kMarker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  return size >= 16 && std::memcmp(head, kMarker, 7) == 0 && head[9] == 0x73 && (head[10] & 1) != 0;
}

bool ChooseFormatOrder(const std::vector<FormatInfo>& formats, std::u16string_view fileName, const ReadHead& readHead,
                       std::vector<size_t>* order) {
  order->clear();
  const std::u16string extension = AsciiLower(ExtensionOf(fileName));
  std::vector<size_t> others;
  for (size_t i = 0; i < formats.size(); ++i) {
    bool match = false;
    if (!extension.empty())
      for (const auto& e : formats[i].extensions)
        if (AsciiLower(e) == extension) match = true;
    (match ? *order : others).push_back(i);
  }
  const size_t matched = order->size();
  order->insert(order->end(), others.begin(), others.end());

  if (matched == 1) {
    if (extension == u"000" || extension == u"001") {
      std::vector<uint8_t> head(kRarVolumeProbeBytes);
      const size_t got = std::min(readHead(head.data(), head.size()), head.size());
      if (IsFirstRarVolume(head.data(), got)) {
        const size_t k = FindFormat(formats, *order, u"rar");
        if (k < order->size())
          std::rotate(order->begin(), order->begin() + static_cast<ptrdiff_t>(k),
                      order->begin() + static_cast<ptrdiff_t>(k) + 1);
      }
    }
    return true;
  }

  if (order->size() > kMaxScanCandidates) return false;
  const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kSignatureScanBytes]);
  const size_t size = std::min(readHead(buffer.get(), kSignatureScanBytes), kSignatureScanBytes);
  if (size == 0) return false;

  // Candidates by the first byte of their signature (signatures of one byte are not looked for).
  std::array<std::vector<size_t>, 256> buckets;
  for (size_t k = 0; k < order->size(); ++k) {
    const auto& sig = formats[(*order)[k]].signature;
    if (sig.size() > 1) buckets[sig[0]].push_back(k);
  }
  std::vector<bool> found(order->size(), false);
  std::vector<size_t> front;
  for (size_t pos = 0; pos + 1 < size; ++pos) {
    for (size_t k : buckets[buffer[pos]]) {
      if (found[k]) continue;
      const auto& sig = formats[(*order)[k]].signature;
      if (sig.size() <= size - pos && std::memcmp(buffer.get() + pos, sig.data(), sig.size()) == 0) {
        found[k] = true;
        front.push_back((*order)[k]);
      }
    }
  }
  for (size_t k = 0; k < order->size(); ++k)
    if (!found[k]) front.push_back((*order)[k]);
  *order = std::move(front);

  const size_t iso = FindFormat(formats, *order, u"iso");
  const size_t udf = FindFormat(formats, *order, u"udf");
  if (iso < order->size() && udf == iso + 1) std::swap((*order)[iso], (*order)[udf]);
  return true;
}

}  // namespace kv::archive
