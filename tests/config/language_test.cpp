#include "manager/language.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/config_names.h"
#include "common/texts.h"
#include "platform/os_version.h"
#include "platform/registry.h"
#include "platform/wide_text.h"
#include "tests/config/config_fixture.h"

using namespace kv::manager;
using kv::platform::HKEY_CURRENT_USER;
using kv::platform::HKEY_LOCAL_MACHINE;
using kv::platform::Utf16ToUtf8;
using kv::platform::Utf8ToUtf16;
namespace cfg = kv::config;

namespace {

constexpr char16_t kMain[] = u"Software\\Korvendrake Virtual Drive";

LanguageTable Table(uint16_t langId, std::u16string name, std::vector<LanguageEntry> entries = {}) {
  LanguageTable t;
  t.langId = langId;
  t.displayName = std::move(name);
  t.secondName = u"second";
  t.fontFace = u"Verdana";
  t.fontSize = 9;
  t.entries = std::move(entries);
  return t;
}

LanguageFileError Parse(const std::vector<uint8_t>& bytes, LanguageTable* t = nullptr) {
  LanguageTable scratch;
  return ParseLanguageFile(bytes.data(), bytes.size(), t ? t : &scratch);
}

// Header bytes with a declared entry count.
std::vector<uint8_t> Header(uint32_t declared, uint8_t version = 2) {
  return {'L',
          'A',
          'N',
          'G',
          15,
          0,
          version,
          static_cast<uint8_t>(declared),
          static_cast<uint8_t>(declared >> 8),
          static_cast<uint8_t>(declared >> 16),
          static_cast<uint8_t>(declared >> 24),
          0,
          0,
          0,
          0};
}
void Text(std::vector<uint8_t>* o, std::u16string_view s) {
  for (char16_t c : s) {
    o->push_back(static_cast<uint8_t>(c));
    o->push_back(static_cast<uint8_t>(c >> 8));
  }
  o->push_back(0);
  o->push_back(0);
}

TEST(LanguageFile, WrittenFilesParseBackWithEveryField) {
  LanguageTable t = Table(1031, u"Deutsch");
  t.headerExtra = 0xA1B2C3D4;
  for (int i = 0; i < 300; ++i)
    t.entries.push_back({0, static_cast<uint16_t>(i), u"", u"t" + Utf8ToUtf16(std::to_string(i))});
  t.entries.push_back({200, 1001, u"", u"Button"});
  t.entries.push_back({200, kNoKeyControlId, u"key", u"keyed"});
  t.entries.push_back({0, 5000, u"", u""});
  const auto bytes = SerializeLanguageFile(t);
  LanguageTable back;
  ASSERT_EQ(Parse(bytes, &back), LanguageFileError::None);
  EXPECT_EQ(back.langId, 1031);
  EXPECT_EQ(back.displayName, u"Deutsch");
  EXPECT_EQ(back.secondName, u"second");
  EXPECT_EQ(back.fontFace, u"Verdana");
  EXPECT_EQ(back.fontSize, 9u);
  EXPECT_EQ(back.headerExtra, 0xA1B2C3D4u);
  ASSERT_EQ(back.entries.size(), t.entries.size()) << "a 12-bit record count above 255";
  EXPECT_EQ(back.entries[301].key, u"key");
  EXPECT_EQ(back.entries[301].dialogId, 200);
  ASSERT_NE(back.FindText(299), nullptr);
  EXPECT_EQ(*back.FindText(299), u"t299");
  EXPECT_EQ(back.FindText(1001), nullptr) << "dialog controls are not plain texts";
  EXPECT_EQ(back.FindText(5000), nullptr) << "an empty text counts as missing";
  // The text form carries everything the file holds.
  LanguageTable again;
  std::string error;
  ASSERT_TRUE(CompileLanguageSource(LanguageSource(back), &again, &error)) << error;
  EXPECT_EQ(SerializeLanguageFile(again), bytes);
}

TEST(LanguageFile, MalformedHeadersAndRecordsAreRejected) {
  const auto good = SerializeLanguageFile(Table(1031, u"Deutsch", {{0, 10, u"", u"x"}}));
  ASSERT_EQ(Parse(good), LanguageFileError::None);
  EXPECT_EQ(Parse({}), LanguageFileError::Size);
  auto v = good;
  v[6] = 3;
  EXPECT_EQ(Parse(v), LanguageFileError::Header) << "version 3";
  v = good;
  v[4] = 16;
  EXPECT_EQ(Parse(v), LanguageFileError::Header) << "first record offset";
  v = good;
  v[0] = 'l';
  EXPECT_EQ(Parse(v), LanguageFileError::Header) << "magic";
  EXPECT_EQ(Parse(std::vector<uint8_t>(good.begin(), good.begin() + 14)), LanguageFileError::Header);
  EXPECT_EQ(Parse(Header(0)), LanguageFileError::None) << "a header alone is a file without records";

  auto withRecord = [](std::vector<uint8_t> record, uint32_t declared = 5) {
    auto f = Header(declared);
    f.insert(f.end(), record.begin(), record.end());
    return f;
  };
  EXPECT_EQ(Parse(withRecord({0x30, 0x00})), LanguageFileError::RecordKind);
  EXPECT_EQ(Parse(withRecord({0x00})), LanguageFileError::RecordKind);
  EXPECT_EQ(Parse(withRecord({0x80})), LanguageFileError::RecordKind);
  EXPECT_EQ(Parse(withRecord({0x16, 0, 0})), LanguageFileError::PropertyNumber);
  EXPECT_EQ(Parse(withRecord({0x10, 0, 0})), LanguageFileError::PropertyNumber);
  EXPECT_EQ(Parse(withRecord({0x11, 0x07})), LanguageFileError::Truncated) << "half a LANGID";
  EXPECT_EQ(Parse(withRecord({0x14, 8, 0, 0})), LanguageFileError::Truncated) << "three bytes of a size";
  EXPECT_EQ(Parse(withRecord({0x40, 1, 0, 0, 5, 0, 0, 0})), LanguageFileError::DialogId);
  EXPECT_EQ(Parse(withRecord({0x40, 1, 1, 0, 5, 0, 0, 0})), LanguageFileError::DialogId);
  EXPECT_EQ(Parse(withRecord({0x40, 1, 2, 0, 5, 0, 0, 0})), LanguageFileError::None);
  EXPECT_EQ(Parse(withRecord({0x40, 1, 2, 0, 0xFF, 0xFF, 'k', 0, 0, 0})), LanguageFileError::Truncated)
      << "control 0xFFFF needs a key text and a text";
  EXPECT_EQ(Parse(withRecord({0x2F, 0xFF, 10, 0, 'a', 0, 0, 0}, 5000)), LanguageFileError::Truncated)
      << "4095 entries announced, one present";
  EXPECT_EQ(Parse(withRecord({0x20})), LanguageFileError::Truncated) << "count byte missing";
  EXPECT_EQ(Parse(withRecord({0x20, 1, 10, 0, 'a', 0})), LanguageFileError::Truncated) << "text without terminator";
  EXPECT_EQ(Parse(withRecord({0x20, 1, 10, 0, 'a', 0, 0})), LanguageFileError::Truncated) << "odd last byte";

  // Every cut of a valid file inside a record is caught.
  for (size_t n = 15; n < good.size(); ++n) {
    const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
    LanguageTable t;
    const auto e = Parse(cut, &t);
    if (e == LanguageFileError::None) {
      EXPECT_TRUE(t.entries.empty()) << "only cuts between the properties can be valid, cut at " << n;
    } else {
      EXPECT_EQ(e, LanguageFileError::Truncated) << n;
    }
  }
}

TEST(LanguageFile, PropertyTextsOfSixtyFourCharactersAreInvalid) {
  for (const uint8_t property : {2, 3, 5}) {
    for (const size_t length : {63u, 64u}) {
      auto f = Header(0);
      f.push_back(static_cast<uint8_t>(0x10 | property));
      Text(&f, std::u16string(length, u'n'));
      EXPECT_EQ(Parse(f), length == 63 ? LanguageFileError::None : LanguageFileError::PropertyLength)
          << int(property) << " " << length;
    }
  }
}

TEST(LanguageFile, MoreEntriesThanDeclaredIsInvalid) {
  std::vector<LanguageEntry> eleven;
  for (uint16_t i = 0; i < 11; ++i) eleven.push_back({0, i, u"", u"x"});
  LanguageTable t = Table(1031, u"D", eleven);
  t.declaredEntries = 10;
  EXPECT_EQ(Parse(SerializeLanguageFile(t)), LanguageFileError::TooManyEntries);
  t.entries.pop_back();
  EXPECT_EQ(Parse(SerializeLanguageFile(t)), LanguageFileError::None);
  t.declaredEntries = 0xFFFFFFFF;  // a huge declaration allocates nothing beyond the file
  EXPECT_EQ(Parse(SerializeLanguageFile(t)), LanguageFileError::None);
}

TEST(LanguageFile, SizeLimitIsTwoMebibytesMinusOne) {
  kv::test::TempDir dir;
  // One text record filling the file exactly: valid at 2,097,151 bytes, rejected at 2,097,152.
  auto build = [](size_t total, bool withLangId) {
    auto f = Header(1);
    if (withLangId) f.insert(f.end(), {0x11, 0x07, 0x04});
    f.insert(f.end(), {0x20, 1, 10, 0});
    const size_t chars = (total - f.size()) / 2 - 1;
    Text(&f, std::u16string(chars, u'a'));
    return f;
  };
  const auto largest = build(2097151, false);
  const auto tooLarge = build(2097152, true);
  ASSERT_EQ(largest.size(), 2097151u);
  ASSERT_EQ(tooLarge.size(), 2097152u);
  kv::test::WriteFileBytes(dir / "a.lng", largest);
  kv::test::WriteFileBytes(dir / "b.lng", tooLarge);
  LanguageTable t;
  EXPECT_EQ(LoadLanguageFile((dir / "a.lng").string(), &t), LanguageFileError::None);
  EXPECT_EQ(LoadLanguageFile((dir / "b.lng").string(), &t), LanguageFileError::Size);
  EXPECT_EQ(Parse(tooLarge), LanguageFileError::Size);
  kv::test::WriteFileBytes(dir / "empty.lng", {});
  EXPECT_EQ(LoadLanguageFile((dir / "empty.lng").string(), &t), LanguageFileError::Size);
  EXPECT_EQ(LoadLanguageFile((dir / "missing.lng").string(), &t), LanguageFileError::Unreadable);
  EXPECT_EQ(LoadLanguageFile(dir.path().string(), &t), LanguageFileError::Unreadable) << "a folder";
}

TEST(DialogFontRules, FaceAndSizeWithReplacements) {
  EXPECT_EQ(ChooseDialogFont(nullptr), (DialogFont{u"Tahoma", 8}));
  LanguageTable t = Table(1031, u"D");
  t.fontFace = u"ms sans serif";
  t.fontSize = 10;
  EXPECT_EQ(ChooseDialogFont(&t), (DialogFont{u"Tahoma", 10}));
  t.fontFace = u"";
  EXPECT_EQ(ChooseDialogFont(&t), (DialogFont{u"Tahoma", 8})) << "no face: Tahoma at 8 whatever the size";
  t.fontFace = u"MS Shell Dlg";
  EXPECT_EQ(ChooseDialogFont(&t), (DialogFont{u"MS Shell Dlg", 10}));
  EXPECT_EQ(FontHeight(8, 96), -11);
  EXPECT_EQ(FontHeight(9, 96), -12);
  EXPECT_EQ(FontHeight(10, 120), -17);
  EXPECT_EQ(FontHeight(0, 96), 0);
}

TEST(TextTable, EveryDefaultIsFoundById) {
  EXPECT_EQ(kv::texts::DefaultText(140), u"Korvendrake Virtual Drive");
  EXPECT_EQ(kv::texts::DefaultText(390), u"Failed reading '%s'.%s%s");
  EXPECT_EQ(kv::texts::DefaultText(1000), u"Note: Leave blank if using system temporary folder.");
  EXPECT_EQ(kv::texts::DefaultText(10), u"&Mount Archive...");
  EXPECT_TRUE(kv::texts::DefaultText(11).empty());
  EXPECT_TRUE(kv::texts::DefaultText(0).empty());
}

// Languages as the programs see them: an install folder with "Lang" and the registry.
class InstalledLanguages : public kv::test::PrivateRegistry {
 protected:
  void SetUp() override {
    PrivateRegistry::SetUp();
    install_ = root_.path() / "install";
    std::filesystem::create_directories(install_ / "Lang");
    ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, Utf8ToUtf16(install_.string())));
  }
  void Write(const std::string& name, const LanguageTable& t) {
    kv::test::WriteFileBytes(install_ / "Lang" / name, SerializeLanguageFile(t));
  }
  static SystemFacts Facts(uint16_t systemLang = 1033) {
    SystemFacts f;
    f.systemLangId = systemLang;
    return f;
  }
  std::filesystem::path install_;
};

TEST_F(InstalledLanguages, ListHasEnglishFirstFilePerLangIdAndOrdinalOrder) {
  Write("a_german.lng", Table(1031, u"deutsch", {{0, 10, u"", u"erste"}}));
  Write("b_german.lng", Table(1031, u"Deutsch zwei"));
  Write("c.LNG", Table(1036, u"Fran\u00e7ais"));
  Write("d.lng", Table(1040, u"Zulu-like"));
  LanguageTable v3 = Table(1041, u"Japanese");
  auto bytes = SerializeLanguageFile(v3);
  bytes[6] = 3;
  kv::test::WriteFileBytes(install_ / "Lang" / "e_v3.lng", bytes);
  Write("notes.txt", Table(1042, u"Korean"));
  Write(std::string(61, 'x') + ".lng", Table(1043, u"Long name"));  // 65 characters
  Write(std::string(59, 'y') + ".lng", Table(1044, u"Norsk"));      // 63 characters

  const LanguageList list = BuildLanguageList((install_ / "Lang").string());
  std::vector<std::u16string> names;
  for (const auto& e : list.entries) names.push_back(e.displayName);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"English", u"Fran\u00e7ais", u"Norsk", u"Zulu-like", u"deutsch"}))
      << "upper case before lower case; first file of 1031 wins; version 3, .txt, long names left out";
  EXPECT_EQ(list.entries[4].fileName, u"a_german.lng");
  EXPECT_EQ(list.entries[0].langId, 1033);
  EXPECT_TRUE(list.entries[0].fileName.empty());
}

TEST_F(InstalledLanguages, AtMostFiftyLanguages) {
  for (int i = 0; i < 60; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "l%02d.lng", i);
    Write(name, Table(static_cast<uint16_t>(2000 + i), Utf8ToUtf16(name)));
  }
  const LanguageList list = BuildLanguageList((install_ / "Lang").string());
  EXPECT_EQ(list.entries.size(), 50u);
  EXPECT_EQ(list.entries.back().displayName, u"l48.lng") << "English and the first 49 files";
}

TEST_F(InstalledLanguages, LoadSwitchReloadAndLookup) {
  Write("de.lng", Table(1031, u"Deutsch", {{0, 10, u"", u"Archiv &einbinden..."}, {0, 20, u"", u""}}));
  ConfigStore config(ConfigProgram::Manager, Facts(1031));
  Languages langs(config);
  langs.Load();
  EXPECT_EQ(langs.currentLangId(), 1031) << "Language missing: system default 1031 has a file";
  EXPECT_EQ(langs.Text(10), u"Archiv &einbinden...");
  EXPECT_EQ(langs.Text(20), u"&Unmount Archive") << "empty text: the default";
  EXPECT_EQ(langs.Text(9999, u"fallback"), u"fallback");
  EXPECT_EQ(langs.font(), (DialogFont{u"Verdana", 9}));

  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 1036));
  EXPECT_TRUE(langs.ReloadIfChanged());
  EXPECT_EQ(langs.currentLangId(), 1033) << "no file for 1036: English";
  EXPECT_EQ(langs.Text(10), u"&Mount Archive...");
  EXPECT_EQ(langs.font(), (DialogFont{u"Tahoma", 8}));

  int german = -1;
  for (size_t i = 0; i < langs.list().entries.size(); ++i) {
    if (langs.list().entries[i].langId == 1031) german = static_cast<int>(i);
  }
  ASSERT_GE(german, 0);
  std::vector<uint16_t> sent;
  EXPECT_FALSE(langs.Switch(99, [&](uint16_t l) { sent.push_back(l); }));
  ASSERT_TRUE(langs.Switch(german, [&](uint16_t l) { sent.push_back(l); }));
  EXPECT_EQ(sent, std::vector<uint16_t>{1031});
  EXPECT_EQ(langs.Text(10), u"Archiv &einbinden...");
  EXPECT_EQ(GetDword(HKEY_CURRENT_USER, kMain, cfg::kLanguage), 1031u) << "written by the write policy";
  EXPECT_EQ(GetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage), 1036u) << "the service writes the machine value";
  const DialogTexts d = langs.ApplyToDialog(u"OK", u"Close");
  EXPECT_EQ(d.okText, u"OK");
  EXPECT_FALSE(d.cancelText) << "only a button saying Cancel is replaced";
  EXPECT_EQ(d.caption, u"Korvendrake Virtual Drive");
}

TEST_F(InstalledLanguages, ArchiverLanguageChangeIsPickedUpBeforeTheMenu) {
  Write("fr.lng", Table(1036, u"Fran\u00e7ais", {{0, 750, u"", u"&Quitter"}}));
  const auto archiver = root_.path() / "archiver";
  std::filesystem::create_directories(archiver);
  kv::test::WriteFileText(archiver / "Korvendrake.exe", "x");
  ASSERT_TRUE(
      SetString(HKEY_LOCAL_MACHINE, u"Software\\Korvendrake", cfg::kInstallDir, Utf8ToUtf16(archiver.string())));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 0));
  ConfigStore config(ConfigProgram::Manager, Facts(1033));
  Languages langs(config);
  langs.Load();
  EXPECT_EQ(langs.currentLangId(), 1033) << "language 0 on an English system";
  EXPECT_FALSE(langs.ReloadIfChanged());
  ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, u"Software\\Korvendrake", cfg::kLanguage, 1036));
  EXPECT_TRUE(langs.ReloadIfChanged());
  EXPECT_EQ(langs.Text(750), u"&Quitter");
}

TEST_F(InstalledLanguages, MissingLangFolderOffersOnlyEnglish) {
  std::filesystem::remove_all(install_ / "Lang");
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 1031));
  ConfigStore config(ConfigProgram::Manager, Facts());
  Languages langs(config);
  langs.Load();
  ASSERT_EQ(langs.list().entries.size(), 1u);
  EXPECT_EQ(langs.currentLangId(), 1033);
  EXPECT_EQ(langs.Text(140), u"Korvendrake Virtual Drive");
}

// The German file built from the repository's source into the build's install folder.
TEST_F(InstalledLanguages, ShippedGermanIsListedCompleteAndReturned) {
  const std::filesystem::path shipped = std::filesystem::path(KV_INSTALL_DIR) / "Lang";
  ASSERT_TRUE(std::filesystem::exists(shipped / "Deutsch.lng")) << "kv_lang_files builds it";
  ASSERT_TRUE(SetString(HKEY_LOCAL_MACHINE, kMain, cfg::kInstallDir, Utf8ToUtf16(KV_INSTALL_DIR)));
  ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kMain, cfg::kLanguage, 1031));
  ConfigStore config(ConfigProgram::Service, Facts());
  Languages langs(config);
  langs.Load();
  bool listed = false;
  for (const auto& e : langs.list().entries) listed |= e.displayName == u"Deutsch" && e.fileName == u"Deutsch.lng";
  EXPECT_TRUE(listed);
  ASSERT_EQ(langs.currentLangId(), 1031);
  EXPECT_EQ(langs.Text(kv::texts::TEXT_CANCEL), u"Abbrechen");
  EXPECT_EQ(langs.Text(kv::texts::TEXT_DATA_ERROR_OR_PASSWORD), u"Datenfehler oder falsches Kennwort!");
  EXPECT_EQ(langs.ApplyToDialog(u"OK", u"Cancel").cancelText, u"Abbrechen");
  // Complete: every text has a translation with the same placeholders in the same order.
  // "%d", "%c", "%C", "%s" in order of appearance.
  auto placeholders = [](std::u16string_view t) {
    std::u16string found;
    for (size_t i = 0; i + 1 < t.size(); ++i) {
      if (t[i] == u'%' && ((t[i + 1] >= u'a' && t[i + 1] <= u'z') || (t[i + 1] >= u'A' && t[i + 1] <= u'Z'))) {
        found += t[i + 1];
      }
    }
    return found;
  };
  for (const auto& d : kv::texts::kTextDefaults) {
    const std::u16string* german = langs.table()->FindText(d.id);
    ASSERT_NE(german, nullptr) << d.id;
    const std::u16string a = placeholders(d.text), b = placeholders(*german);
    EXPECT_EQ(a, b) << d.id;
  }
}

}  // namespace
