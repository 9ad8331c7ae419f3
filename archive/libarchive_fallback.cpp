#include "archive/libarchive_fallback.h"

#include <archive.h>
#include <archive_entry.h>

#include <map>
#include <memory>
#include <utility>

namespace kv::archive {
namespace {

struct ReaderCloser {
  void operator()(struct archive* a) const { archive_read_free(a); }
};

std::string Normalised(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  while (!path.empty() && path[0] == '/') path.erase(0, 1);
  return path;
}

}  // namespace

std::vector<uint32_t> ExtractWithLibarchive(const std::vector<std::string>& volumes,
                                            const std::vector<FallbackItem>& items, const FallbackSink& sink) {
  std::vector<uint32_t> delivered;
  if (volumes.empty() || items.empty()) return delivered;
  std::map<std::pair<std::string, uint32_t>, const FallbackItem*> wanted;
  std::map<uint32_t, const FallbackItem*> byOrdinal;
  for (const FallbackItem& item : items) {
    wanted[{Normalised(item.path), item.occurrence}] = &item;
    byOrdinal[item.ordinal] = &item;
  }

  std::unique_ptr<struct archive, ReaderCloser> a(archive_read_new());
  if (!a) return delivered;
  archive_read_support_format_rar(a.get());
  archive_read_support_format_rar5(a.get());
  std::vector<const char*> names;
  for (const std::string& v : volumes) names.push_back(v.c_str());
  names.push_back(nullptr);
  if (archive_read_open_filenames(a.get(), names.data(), 1 << 16) != ARCHIVE_OK) return delivered;

  std::map<std::string, uint32_t> seen;
  uint32_t ordinals = 0;
  std::vector<uint8_t> buffer(1 << 16);
  archive_entry* entry = nullptr;
  while (delivered.size() < items.size() && archive_read_next_header(a.get(), &entry) == ARCHIVE_OK) {
    const char* raw = archive_entry_pathname_utf8(entry);
    if (raw == nullptr) raw = archive_entry_pathname(entry);
    if (archive_entry_filetype(entry) == AE_IFDIR) continue;
    const uint32_t ordinal = ordinals++;
    if (raw == nullptr || archive_entry_filetype(entry) != AE_IFREG) continue;
    const std::string path = Normalised(raw);
    const uint32_t occurrence = seen[path]++;
    const FallbackItem* found = nullptr;
    if (const auto it = wanted.find({path, occurrence}); it != wanted.end()) {
      found = it->second;
    } else if (const auto at = byOrdinal.find(ordinal);
               at != byOrdinal.end() && archive_entry_size_is_set(entry) &&
               static_cast<uint64_t>(archive_entry_size(entry)) == at->second->size) {
      // The same entry in the same place whose name the two libraries decode differently.
      found = at->second;
    }
    if (found == nullptr) continue;  // the next header skips (or, solid, decodes) its data
    const FallbackItem& item = *found;
    uint64_t position = 0;
    bool ok = true;
    for (;;) {
      const la_ssize_t n = archive_read_data(a.get(), buffer.data(), buffer.size());
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      if (!sink(item.itemIndex, position, buffer.data(), static_cast<size_t>(n))) return delivered;
      position += static_cast<uint64_t>(n);
      if (position > item.size) break;  // more than the listing said: not this item after all
    }
    if (ok && position == item.size) delivered.push_back(item.itemIndex);
  }
  return delivered;
}

}  // namespace kv::archive
