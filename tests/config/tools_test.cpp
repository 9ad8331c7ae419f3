// kvreg and kvlang as people and scripts use them: separate processes on a private platform root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "manager/language.h"
#include "platform/registry.h"
#include "tests/config/config_fixture.h"

using kv::test::Quote;
namespace {

kv::test::CommandResult Sh(const std::string& c) {
  return kv::test::Run(c);
}

class Tools : public kv::test::PrivateRegistry {
 protected:
  static std::string Kvreg(const std::string& args) { return Quote(kv::test::ProgramPath("kvreg")) + " " + args; }
  static std::string Kvlang(const std::string& args) { return Quote(kv::test::ProgramPath("kvlang")) + " " + args; }
};

TEST_F(Tools, KvregAddQueryExportDelete) {
  const std::string key = Quote("HKLM\\Software\\Korvendrake Virtual Drive");
  ASSERT_EQ(Sh(Kvreg("add " + key + " /v Install_Dir /d '/opt/kv dir'")).exitCode, 0);
  ASSERT_EQ(Sh(Kvreg("add " + key + " /v DiskCount /t REG_DWORD /d 0x10")).exitCode, 0);
  ASSERT_EQ(Sh(Kvreg("add " + key + " /v Language /t reg_dword /d -1")).exitCode, 0);
  ASSERT_EQ(Sh(Kvreg("add " + key + "\\\\Sub /v Blob /t REG_BINARY /d 00ff10")).exitCode, 0);
  EXPECT_EQ(GetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", u"DiskCount"), 16u);
  EXPECT_EQ(GetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\Korvendrake Virtual Drive", u"Language"),
            0xFFFFFFFFu);

  auto q = Sh(Kvreg("query " + Quote("hklm\\software\\korvendrake virtual drive\\") + " /v diskcount"));
  ASSERT_EQ(q.exitCode, 0) << q.output;
  EXPECT_NE(q.output.find("    diskcount    REG_DWORD    0x10\n"), std::string::npos) << q.output;
  q = Sh(Kvreg("query " + key));
  ASSERT_EQ(q.exitCode, 0);
  EXPECT_NE(q.output.find("    Install_Dir    REG_SZ    /opt/kv dir\n    DiskCount    REG_DWORD    0x10\n"),
            std::string::npos)
      << q.output;
  EXPECT_NE(q.output.find("HKEY_LOCAL_MACHINE\\Software\\Korvendrake Virtual Drive\\Sub\n"), std::string::npos);

  const auto file = root_.path() / "out.reg";
  ASSERT_EQ(Sh(Kvreg("export 'HKLM\\Software' " + Quote(file.string()))).exitCode, 0);
  const auto text = kv::test::ReadFileBytes(file);
  const std::string exported(text.begin(), text.end());
  EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\Software\\Korvendrake Virtual Drive]\n\"Install_Dir\"=\"/opt/kv dir\"\n"
                          "\"DiskCount\"=dword:00000010\n"),
            std::string::npos)
      << exported;
  EXPECT_NE(exported.find("\"Blob\"=hex:00,FF,10"), std::string::npos);

  ASSERT_EQ(Sh(Kvreg("delete " + key + " /v DiskCount")).exitCode, 0);
  q = Sh(Kvreg("query " + key + " /v DiskCount"));
  EXPECT_EQ(q.exitCode, 1);
  EXPECT_NE(q.output.find("unable to find"), std::string::npos);
  ASSERT_EQ(Sh(Kvreg("delete " + key)).exitCode, 0);
  EXPECT_EQ(Sh(Kvreg("query " + key + "\\\\Sub")).exitCode, 1);

  EXPECT_EQ(Sh(Kvreg("--help")).exitCode, 0);
  EXPECT_EQ(Sh(Kvreg("")).exitCode, 2);
  EXPECT_EQ(Sh(Kvreg("add HKXX\\\\a")).exitCode, 2);
  EXPECT_EQ(Sh(Kvreg("add 'HKCU\\a' /v x /t REG_DWORD /d twelve")).exitCode, 2);
  EXPECT_EQ(Sh(Kvreg("add 'HKCU\\a' /v x /t REG_QWORD /d 1")).exitCode, 2);
}

TEST_F(Tools, TwoKvregProcessesWritingAtOnceLoseNothing) {
  const std::string loop = "for i in $(seq 1 25); do " + Kvreg("add 'HKLM\\Software\\T' /v $P$i /t REG_DWORD /d $i") +
                           " >/dev/null || echo FAIL; done";
  const auto r = Sh("P=a; (" + loop + ") & P=b; (" + loop + ") & wait");
  EXPECT_EQ(r.output.find("FAIL"), std::string::npos) << r.output;
  kv::platform::RegKey k;
  ASSERT_EQ(
      kv::platform::RegOpenKeyEx(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\T", 0, kv::platform::KEY_READ, k.put()),
      kv::platform::ERROR_SUCCESS);
  int count = 0;
  std::u16string name;
  while (kv::platform::RegEnumValue(k, static_cast<kv::platform::DWORD>(count), &name, nullptr, nullptr) ==
         kv::platform::ERROR_SUCCESS) {
    ++count;
  }
  EXPECT_EQ(count, 50);
  EXPECT_EQ(GetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\T", u"a25"), 25u);
  EXPECT_EQ(GetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\T", u"b1"), 1u);
}

TEST_F(Tools, KvregRefusesMachineWritesOfOtherUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run kvreg as another user";
  ASSERT_TRUE(SetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\K", u"v", 1));
  chmod(root_.path().c_str(), 0755);
  chmod((root_.path() / "registry").c_str(), 0755);
  const std::string program = kv::test::ProgramPath("kvreg");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 2);
    dup2(out[1], 1);
    if (setgid(65534) || setuid(65534)) _exit(100);
    execl(program.c_str(), "kvreg", "add", "HKLM\\Software\\K", "/v", "v", "/t", "REG_DWORD", "/d", "2", nullptr);
    _exit(101);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << text;
  EXPECT_NE(text.find("Access is denied"), std::string::npos) << text;
  EXPECT_EQ(GetDword(kv::platform::HKEY_LOCAL_MACHINE, u"Software\\K", u"v"), 1u);
}

TEST_F(Tools, KvlangRoundTripsTheShippedSources) {
  for (const char* name : {"English", "Deutsch"}) {
    const std::string source = std::string(KV_SOURCE_DIR) + "/lang/" + name + ".txt";
    const auto first = root_.path() / (std::string(name) + ".lng");
    const auto dumped = root_.path() / (std::string(name) + ".txt");
    const auto second = root_.path() / (std::string(name) + "2.lng");
    auto r = Sh(Kvlang("compile " + Quote(source) + " -o " + Quote(first.string())));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = Sh(Kvlang("dump " + Quote(first.string()) + " -o " + Quote(dumped.string())));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = Sh(Kvlang("compile " + Quote(dumped.string()) + " -o " + Quote(second.string())));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(kv::test::ReadFileBytes(first), kv::test::ReadFileBytes(second)) << name;
    EXPECT_EQ(kv::test::ReadFileBytes(first),
              kv::test::ReadFileBytes(std::string(KV_INSTALL_DIR) + "/Lang/" + name + ".lng"))
        << "the build's Lang folder holds the same file";
    kv::manager::LanguageTable t;
    ASSERT_EQ(kv::manager::LoadLanguageFile(first.string(), &t), kv::manager::LanguageFileError::None);
    EXPECT_EQ(t.entries.size(), sizeof(kv::texts::kTextDefaults) / sizeof(kv::texts::kTextDefaults[0]));
  }
  // Escapes and dialog controls survive the text form.
  const auto src = root_.path() / "x.txt";
  kv::test::WriteFileText(src,
                          "langid 0x407\nname \"T\\u00e4st \\\"q\\\"\"\ntext 5 \"a\\r\\nb\\\\\\uD800\"\n"
                          "dialog 300\ncontrol 0xFFFF \"key\" \"val\"  # comment\ncontrol 7 \"\"\n");
  ASSERT_EQ(Sh(Kvlang("compile " + Quote(src.string()) + " -o " + Quote((root_.path() / "x.lng").string()))).exitCode,
            0);
  kv::manager::LanguageTable t;
  ASSERT_EQ(kv::manager::LoadLanguageFile((root_.path() / "x.lng").string(), &t), kv::manager::LanguageFileError::None);
  EXPECT_EQ(t.langId, 0x407);
  EXPECT_EQ(t.displayName, u"T\u00e4st \"q\"");
  ASSERT_EQ(t.entries.size(), 3u);
  EXPECT_EQ(t.entries[0].text, std::u16string(u"a\r\nb\\") + char16_t(0xD800));
  EXPECT_EQ(t.entries[1].dialogId, 300);
  EXPECT_EQ(t.entries[1].key, u"key");
  const auto d = Sh(Kvlang("dump " + Quote((root_.path() / "x.lng").string())));
  EXPECT_NE(d.output.find("text 5 \"a\\r\\nb\\\\\\uD800\""), std::string::npos) << d.output;
}

TEST_F(Tools, KvlangReportsBadSourcesAndFiles) {
  const auto src = root_.path() / "bad.txt";
  kv::test::WriteFileText(src, "langid 1031\ntext 10 \"open\n");
  auto r = Sh(Kvlang("compile " + Quote(src.string()) + " -o " + Quote((root_.path() / "b.lng").string())));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("line 2"), std::string::npos) << r.output;
  EXPECT_FALSE(std::filesystem::exists(root_.path() / "b.lng"));
  kv::test::WriteFileText(src, std::string("name \"") + std::string(64, 'n') + "\"\n");
  EXPECT_EQ(Sh(Kvlang("compile " + Quote(src.string()) + " -o " + Quote((root_.path() / "b.lng").string()))).exitCode,
            1);
  kv::test::WriteFileText(src, "dialog 1\n");
  EXPECT_EQ(Sh(Kvlang("compile " + Quote(src.string()) + " -o " + Quote((root_.path() / "b.lng").string()))).exitCode,
            1);
  kv::test::WriteFileBytes(root_.path() / "v3.lng", {'L', 'A', 'N', 'G', 15, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0});
  r = Sh(Kvlang("dump " + Quote((root_.path() / "v3.lng").string())));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.output.find("not a valid language file"), std::string::npos);
  EXPECT_EQ(Sh(Kvlang("--help")).exitCode, 0);
  EXPECT_EQ(Sh(Kvlang("")).exitCode, 2);
  EXPECT_EQ(Sh(Kvlang("compile " + Quote(src.string()))).exitCode, 2);
}

}  // namespace
