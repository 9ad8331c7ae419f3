// A private registry with an install folder, and the manager's language state over it.
#pragma once
#include <filesystem>
#include <memory>

#include "common/config_names.h"
#include "manager/config_store.h"
#include "manager/language.h"
#include "platform/ui/scripted_ui.h"
#include "platform/wide_text.h"
#include "tests/config/config_fixture.h"

namespace kv::test {

inline constexpr char16_t kMainKey[] = u"Software\\Korvendrake Virtual Drive";

class ManagerUi : public PrivateRegistry {
 protected:
  void SetUp() override {
    PrivateRegistry::SetUp();
    ASSERT_TRUE(SetString(platform::HKEY_LOCAL_MACHINE, kMainKey, config::kInstallDir,
                          platform::Utf8ToUtf16(install_.path().string())));
  }

  manager::SystemFacts Facts(bool vista) const {
    manager::SystemFacts f;
    f.majorVersion = vista ? 6 : 5;
    f.minorVersion = vista ? 1 : 1;
    f.ownFolder = platform::Utf8ToUtf16(install_.path().string());
    return f;
  }

  // A German language file in the install folder's "Lang" with the given plain texts.
  void WriteGerman(std::vector<manager::LanguageEntry> entries) {
    manager::LanguageTable t;
    t.langId = 1031;
    t.displayName = u"Deutsch";
    t.secondName = u"German";
    t.fontFace = u"ms sans serif";
    t.fontSize = 9;
    t.entries = std::move(entries);
    std::filesystem::create_directories(install_.path() / "Lang");
    WriteFileBytes(install_.path() / "Lang" / "Deutsch.lng", manager::SerializeLanguageFile(t));
  }

  TempDir install_;
};

}  // namespace kv::test
