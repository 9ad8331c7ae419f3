// Hostile ".lng" bytes: the parser must reject or accept without reading outside the input, and
// whatever it accepts must survive the text form and the writer unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "manager/language.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kv::manager;
  LanguageTable table;
  if (ParseLanguageFile(data, size, &table) == LanguageFileError::None) {
    LanguageTable again;
    std::string error;
    if (!CompileLanguageSource(LanguageSource(table), &again, &error)) std::abort();
    const auto bytes = SerializeLanguageFile(again);
    LanguageTable third;
    if (ParseLanguageFile(bytes.data(), bytes.size(), &third) != LanguageFileError::None) std::abort();
    if (third.entries.size() != table.entries.size() || third.langId != table.langId ||
        third.displayName != table.displayName) {
      std::abort();
    }
    (void)ChooseDialogFont(&table);
    (void)FontHeight(table.fontSize, 96);
  }
  // The same bytes as a translator's source text.
  LanguageTable fromSource;
  std::string error;
  CompileLanguageSource(std::string_view(reinterpret_cast<const char*>(data), size), &fromSource, &error);
  return 0;
}
