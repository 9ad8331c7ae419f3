// The manager's decision about a picked file: every format the test fixtures can write, at the
// right and at a wrong extension, split sets, password questions through scripted prompts, and
// files that must be refused before anything reads them.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "archive/mounted_archive.h"
#include "formats/mzp/mzp_format.h"
#include "formats/raw/raw_sector.h"
#include "manager/mount_flow.h"
#include "platform/codepage.h"
#include "platform/wide_text.h"
#include "tests/fixtures/block_image_writer.h"
#include "tests/fixtures/daa_image_writer.h"
#include "tests/fixtures/descriptor_writers.h"
#include "tests/fixtures/nrg_writer.h"
#include "tests/fixtures/rar5_writer.h"
#include "tests/fixtures/test_support.h"
#include "tools/mzppack/mzp_writer.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using test::Quote;

class Identify : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::HaveTool("genisoimage")) GTEST_SKIP() << "genisoimage is not installed";
    const fs::path src = dir_ / "src";
    fs::create_directories(src / "sub");
    test::WriteFileBytes(src / "big.bin", test::PatternBytes(200000, 5));
    test::WriteFileText(src / "sub" / "note.txt", "identify\n");
    const auto r =
        test::Run("genisoimage -quiet -J -o " + Quote((dir_ / "src.iso").string()) + " " + Quote(src.string()));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    iso_ = test::ReadFileBytes(dir_ / "src.iso");
    context_.prompts = &prompts_;
    context_.installDir = KV_INSTALL_DIR;
  }
  fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    test::WriteFileBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  manager::Inspection Inspect(const fs::path& p) { return manager::InspectFile(p.string(), context_); }
  // Sector 16 (the primary volume descriptor) through the reader the manager chose.
  bool ReadsLikeTheIso(inspect::ImageProbe& probe) {
    if (!probe.source) return false;
    std::vector<uint8_t> sector(2048);
    for (uint32_t s : {16u, 17u, static_cast<uint32_t>(iso_.size() / 2048 - 1)})
      if (probe.source->ReadSectors(s, 1, sector.data()) != 1 || std::memcmp(sector.data(), &iso_[s * 2048], 2048) != 0)
        return false;
    return true;
  }

  test::TempDir dir_;
  std::vector<uint8_t> iso_;
  inspect::ScriptedPrompts prompts_;
  inspect::InspectContext context_;
};

TEST_F(Identify, EveryFormatAtItsOwnAndAtAWrongExtension) {
  const int32_t isoSectors = static_cast<int32_t>(iso_.size() / 2048);
  // 2448-byte raw sectors: the primary descriptor at 16 × 2448 + 16, no descriptor file.
  std::vector<uint8_t> odd(iso_.size() / 2048 * 2448 + 16, 0);
  for (size_t s = 0; s < iso_.size() / 2048; ++s) std::memcpy(&odd[16 + s * 2448], &iso_[s * 2048], 2048);
  std::vector<uint8_t> raw(iso_.size() / 2048 * 2352);
  for (size_t s = 0; s < iso_.size() / 2048; ++s)
    BuildMode1Sector(static_cast<int64_t>(s), &iso_[s * 2048], &raw[s * 2352]);
  test::DaaWriterOptions daa;
  daa.chunkSize = 65536;
  const auto daaFiles = test::WriteDaaImage(iso_, daa, "x");

  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    int32_t format, sectorSize, dataOffset, startOffset, sectorCount;
  };
  const std::vector<Case> cases = {
      {"a.iso", iso_, 0, 2048, 0, 0, isoSectors},
      {"iso-named.zip", iso_, 0, 2048, 0, 0, isoSectors},
      {"iso-named.nrg", iso_, 0, 2048, 0, 0, isoSectors},
      {"raw.bin", raw, 1, 2352, 16, 0, isoSectors},
      {"raw-named.iso", raw, 1, 2352, 16, 0, isoSectors},
      {"odd.img", odd, 1000, 2448, 0, 16, isoSectors},
      {"a.nrg", test::MakeNrg(iso_, {}).bytes, 3, 2048, 0, 0, isoSectors},
      {"nrg-named.bin", test::MakeNrg(iso_, {}).bytes, 3, 2048, 0, 0, isoSectors},
      {"tao.nrg", test::MakeNrg(iso_, {1, true}).bytes, 3, 2048, 0, 0, isoSectors},
      {"a.isz", test::WriteIsz(iso_), 6, 2048, 0, 0, isoSectors},
      {"isz-named.iso", test::WriteIsz(iso_), 6, 2048, 0, 0, isoSectors},
      {"a.uif", test::WriteUif(iso_), 5, 2048, 0, 0, isoSectors},
      {"a.daa", daaFiles[0].bytes, 2, 2048, 0, 0, isoSectors},
      {"daa-named.iso", daaFiles[0].bytes, 2, 2048, 0, 0, isoSectors},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto in = Inspect(Write(c.name, c.bytes));
    ASSERT_EQ(in.result, 0);
    inspect::ImageProbe& p = *in.probe;
    EXPECT_EQ(p.format, c.format);
    EXPECT_EQ(p.sectorSize, c.sectorSize);
    EXPECT_EQ(p.dataOffset, c.dataOffset);
    EXPECT_EQ(p.startOffset, c.startOffset);
    EXPECT_EQ(p.sectorCount, c.sectorCount);
    EXPECT_TRUE(ReadsLikeTheIso(p));
    // The request carries what was decided, named by the image.
    const auto request = inspect::BuildMountRequest(p, u"\\??\\C:\\x");
    const auto* r = reinterpret_cast<const MountRequest*>(request.data());
    EXPECT_EQ(r->Format, c.format);
    EXPECT_EQ(r->StartOffset, c.startOffset);
    EXPECT_EQ(r->NameLength, 16);
  }
  EXPECT_TRUE(prompts_.shown.empty());
}

TEST_F(Identify, ArchivesGoToTheServiceWhateverTheirName) {
  if (!test::HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  for (const auto& [name, type] : std::vector<std::pair<std::string, std::string>>{
           {"a.zip", "zip"}, {"zip-named.iso", "zip"}, {"a.7z", "7z"}, {"a.tar", "tar"}}) {
    SCOPED_TRACE(name);
    const auto r = test::Run("cd " + Quote((dir_ / "src").string()) + " && 7z a -t" + type + " " +
                             Quote((dir_ / name).string()) + " . >/dev/null");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    auto in = Inspect(dir_ / name);
    ASSERT_EQ(in.result, 0);
    EXPECT_EQ(in.probe->format, kFormatArchive);
    EXPECT_EQ(in.probe->archiveItems, 3u) << "big.bin, sub, sub/note.txt";
  }
  // A zip that stores an ISO uncompressed, under another name: the raw scan finds it.
  test::WriteFileBytes(dir_ / "inner.iso", iso_);
  ASSERT_EQ(
      test::Run("cd " + Quote(dir_.path().string()) + " && 7z a -tzip -mx0 stored.dat inner.iso >/dev/null").exitCode,
      0);
  auto in = Inspect(dir_ / "stored.dat");
  ASSERT_EQ(in.result, 0);
  EXPECT_TRUE(IsPlainGeometryFormat(in.probe->format)) << in.probe->format;
  EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
  // The same zip named .zip is an archive: its signature is checked before any raw scan.
  fs::rename(dir_ / "stored.dat", dir_ / "stored.zip");
  in = Inspect(dir_ / "stored.zip");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->format, kFormatArchive);
}

TEST_F(Identify, CueAndDescriptorPairsPickedAsEitherFile) {
  std::vector<uint8_t> raw(iso_.size() / 2048 * 2352);
  for (size_t s = 0; s < iso_.size() / 2048; ++s)
    BuildMode1Sector(static_cast<int64_t>(s), &iso_[s * 2048], &raw[s * 2352]);
  Write("d.bin", raw);
  test::WriteFileText(dir_ / "d.cue", "FILE \"d.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  for (const char* picked : {"d.cue", "d.bin"}) {
    SCOPED_TRACE(picked);
    auto in = Inspect(dir_ / picked);
    ASSERT_EQ(in.result, 0);
    EXPECT_EQ(in.image, (dir_ / "d.bin").string());
    EXPECT_EQ(in.descriptor, (dir_ / "d.cue").string());
    EXPECT_EQ(in.probe->format, 1);
    ASSERT_TRUE(in.probe->layout);
    EXPECT_EQ(in.probe->layout->trackCount, 1);
  }
  // An audio-first pair is an audio disc of its leading audio tracks.
  Write("song.bin", std::vector<uint8_t>(2352 * 300, 0x11));
  test::WriteFileText(dir_ / "song.cue",
                      "FILE \"song.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n"
                      "  TRACK 02 AUDIO\n    INDEX 01 00:02:00\n");
  auto in = Inspect(dir_ / "song.cue");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->format, kFormatAudioDisc);
  EXPECT_EQ(in.probe->sectorSize, 2352);
  EXPECT_EQ(in.probe->sectorCount, 300);
  // A cue naming a missing file is not an image.
  test::WriteFileText(dir_ / "lost.cue", "FILE \"lost.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
  EXPECT_EQ(Inspect(dir_ / "lost.cue").result, inspect::kOpenUnrecognised);
}

TEST_F(Identify, PasswordsAreAskedCheckedAndAskedAgain) {
  test::DaaWriterOptions o;
  o.password = "right one";
  const fs::path daa = test::WriteDaaFiles(dir_.path(), test::WriteDaaImage(iso_, o, "enc"));
  // Three wrong answers (one empty, one 257 bytes), then the right one.
  prompts_.passwords = {u"wrong", u"", std::u16string(257, u'r'), u"right one"};
  auto in = Inspect(daa);
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->password, "right one");
  EXPECT_TRUE(in.probe->encrypted);
  EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
  int wrong = 0;
  for (const auto& s : prompts_.shown) wrong += s == "wrong: The password is wrong. ";
  EXPECT_EQ(wrong, 3);
  const auto request = inspect::BuildMountRequest(*in.probe, u"x");
  EXPECT_STREQ(reinterpret_cast<const MountRequest*>(request.data())->Password, "right one");
  // Cancel, and Cancel at the wrong-password box: result 14.
  prompts_.passwords = {};
  EXPECT_EQ(Inspect(daa).result, inspect::kOpenPasswordRequired);
  prompts_.passwords = {u"no"};
  prompts_.wrongPasswordAnswers = {false};
  EXPECT_EQ(Inspect(daa).result, inspect::kOpenPasswordRequired);

  // The longest password a DAA/GBI image takes: 256 bytes; and one of a single character.
  for (const std::string& password : {std::string(256, 'L'), std::string("1")}) {
    o.password = password;
    const fs::path image = test::WriteDaaFiles(dir_.path(), test::WriteDaaImage(iso_, o, "len"));
    prompts_.passwords = {platform::Utf8ToUtf16(password)};
    in = Inspect(image);
    ASSERT_EQ(in.result, 0) << password.size();
    EXPECT_EQ(in.probe->password, password);
    EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
  }

  // ISZ: no check; a 33-byte password is wrong without reading, 32 bytes is the whole key.
  test::IszOptions io;
  io.encryption = 4;
  io.password = std::string(32, 'k');
  Write("enc.isz", test::WriteIsz(iso_, io));
  prompts_.shown.clear();
  prompts_.passwords = {std::u16string(33, u'k'), std::u16string(32, u'k')};
  prompts_.wrongPasswordAnswers = {};
  in = Inspect(dir_ / "enc.isz");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->format, kFormatIsz);
  EXPECT_EQ(in.probe->password, std::string(32, 'k'));
  EXPECT_EQ(prompts_.shown.size(), 3u) << "asked, wrong, asked";
  // A wrong ISZ key shows as an image without a file system.
  prompts_.passwords = {u"nope"};
  EXPECT_EQ(Inspect(dir_ / "enc.isz").result, inspect::kOpenUnrecognised);

  // Non-ASCII passwords travel in the system code page (UTF-8 here), never cut inside a character.
  bool cut = false;
  EXPECT_EQ(inspect::ToSystemCodePage(u"p\u00e4\u00df", 256, &cut), "p\xc3\xa4\xc3\x9f");
  EXPECT_EQ(inspect::ToSystemCodePage(u"\u00e4\u00e4", 3, &cut), "\xc3\xa4");
  EXPECT_TRUE(cut);
}

TEST_F(Identify, ArchivePasswordsAskedOnceAndWrongOnesRefused) {
  if (!test::HaveTool("7z")) GTEST_SKIP() << "7z is not installed";
  const std::string src = Quote((dir_ / "src").string());
  ASSERT_EQ(test::Run("cd " + src + " && 7z a -psecret -mhe=on " + Quote((dir_ / "h.7z").string()) + " . >/dev/null")
                .exitCode,
            0);
  ASSERT_EQ(
      test::Run("cd " + src + " && 7z a -tzip -psecret " + Quote((dir_ / "e.zip").string()) + " . >/dev/null").exitCode,
      0);
  prompts_.passwords = {u"secret"};
  auto in = Inspect(dir_ / "h.7z");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->password, "secret");
  EXPECT_EQ(prompts_.shown.size(), 1u) << "typed during the open, not asked again";
  prompts_.passwords = {u"wrong"};
  EXPECT_EQ(Inspect(dir_ / "h.7z").result, inspect::kOpenWrongPassword);
  prompts_.passwords = {};
  EXPECT_EQ(Inspect(dir_ / "h.7z").result, inspect::kOpenPasswordRequired);
  EXPECT_EQ(Inspect(dir_ / "e.zip").result, inspect::kOpenPasswordRequired) << "encrypted items need a password";
  prompts_.passwords = {u"secret"};
  EXPECT_EQ(Inspect(dir_ / "e.zip").result, 0);
}

TEST_F(Identify, SplitSetsFromAnyVolumeAndMissingVolumes) {
  test::DaaWriterOptions o;
  o.chunkSize = 16384;
  o.method = test::DaaWriterOptions::Method::kStored;
  o.volumeSize = iso_.size() / 2 + 4096;
  const auto files = test::WriteDaaImage(iso_, o, "set");
  ASSERT_EQ(files.size(), 3u);
  const fs::path first = test::WriteDaaFiles(dir_.path(), files);
  ASSERT_EQ(first.filename(), "set.part01.daa");
  auto in = Inspect(dir_ / "set.part03.daa");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.image, first.string()) << "a later volume mounts the set";
  ASSERT_TRUE(in.probe->volumes);
  EXPECT_EQ(in.probe->volumes->count, 3u);
  EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
  EXPECT_TRUE(prompts_.shown.empty());

  // The third missing: only it is shown; give up, then skip.
  fs::rename(dir_ / "set.part03.daa", dir_ / "away");
  in = Inspect(first);
  EXPECT_TRUE(in.abandoned);
  ASSERT_EQ(prompts_.shown.size(), 1u);
  EXPECT_EQ(prompts_.shown[0], "volumes: set.part03.daa");
  prompts_.volumeAnswers = {{true, true}};
  in = Inspect(first);
  EXPECT_FALSE(in.abandoned);
  EXPECT_EQ(in.result, 0);

  // The first volume missing: the user is told, nothing is inspected.
  fs::rename(dir_ / "away", dir_ / "set.part03.daa");
  fs::rename(first, dir_ / "away");
  prompts_.shown.clear();
  in = Inspect(dir_ / "set.part02.daa");
  EXPECT_TRUE(in.abandoned);
  ASSERT_EQ(prompts_.shown.size(), 1u);
  EXPECT_NE(prompts_.shown[0].find("set.part01.daa"), std::string::npos);
  EXPECT_NE(prompts_.shown[0].find("You are ready to open a multi-volume archive."), std::string::npos);
  // ... unless it is a self-extracting first volume.
  fs::rename(dir_ / "away", dir_ / "set.part01.exe");
  EXPECT_EQ(inspect::FindFirstVolume((dir_ / "set.part02.daa").string(), context_), (dir_ / "set.part01.exe").string());

  // Scheme 2 of a GBI set: x.g00 is the second volume, x.gbi the first.
  o.signature = test::DaaWriterOptions::Signature::kGbi;
  o.namingScheme = 2;
  const auto gbi = test::WriteDaaImage(iso_, o, "old");
  ASSERT_GE(gbi.size(), 2u);
  test::WriteDaaFiles(dir_.path(), gbi);
  prompts_.shown.clear();
  in = Inspect(dir_ / "old.g00");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.image, (dir_ / "old.gbi").string());
  EXPECT_EQ(in.probe->format, kFormatDaa);
  EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
  EXPECT_TRUE(prompts_.shown.empty());

  // Names of the schemes.
  struct Name {
    std::string base;
    uint32_t index, scheme;
    std::string expected;
  };
  for (const Name& n : std::vector<Name>{{"X.part01.daa", 6, 0, "X.part07.daa"},
                                         {"x.part001.gbi", 1, 1, "x.part002.gbi"},
                                         {"x.daa", 0, 2, "x.daa"},
                                         {"x.daa", 4, 2, "x.d03"},
                                         {"x.gbi", 1, 2, "x.g00"},
                                         {"x.bin", 1, 2, ""},
                                         {"x.daa", 1, 0, ""}})
    EXPECT_EQ(inspect::VolumeName(n.base, n.index, n.scheme), n.expected) << n.base << " " << n.index;
}

TEST_F(Identify, CtrlCAtTheHiddenPasswordPromptGivesTheTerminalItsEchoBack) {
  test::DaaWriterOptions o;
  o.password = "secret";
  const fs::path daa = test::WriteDaaFiles(dir_.path(), test::WriteDaaImage(iso_, o, "ask"));
  const std::string kvctl = test::ProgramPath("kvctl");
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(kvctl.c_str(), "kvctl", "identify", daa.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  while (seen.find("Please input the password:") == std::string::npos) {
    pollfd p{master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1) << seen;
    char buffer[256];
    const ssize_t n = read(master, buffer, sizeof buffer);
    ASSERT_GT(n, 0) << seen;
    seen.append(buffer, static_cast<size_t>(n));
  }
  termios t{};
  // The prompt is printed before the echo goes off: wait until it is off, then interrupt.
  for (int i = 0; i < 2000 && tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO); ++i) usleep(1000);
  EXPECT_FALSE(t.c_lflag & ECHO);
  ASSERT_EQ(write(master, "\x03", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  ASSERT_EQ(tcgetattr(master, &t), 0);
  EXPECT_TRUE(t.c_lflag & ECHO);
  close(master);
}

TEST_F(Identify, FilesThatAreNoImagesAreRefusedWithoutBlocking) {
  ASSERT_EQ(mkfifo((dir_ / "pipe.iso").c_str(), 0600), 0);
  fs::create_directories(dir_ / "folder.iso");
  Write("empty.iso", {});
  Write("noise.iso", test::PatternBytes(100000, 9));
  for (const fs::path& p : {dir_ / "pipe.iso", dir_ / "folder.iso", fs::path("/dev/zero"), dir_ / "empty.iso",
                            dir_ / "noise.iso", dir_ / "missing.iso"}) {
    SCOPED_TRACE(p.string());
    auto in = Inspect(p);
    EXPECT_EQ(in.result, inspect::kOpenUnrecognised);
    EXPECT_FALSE(in.probe);
    EXPECT_EQ(in.osError, p.filename() == "missing.iso" ? ENOENT : 0);
  }
  // The user's own rights decide: a file only root may read is refused to another user, although
  // the service (root) could open it.
  if (geteuid() == 0 && test::HaveTool("runuser")) {
    const fs::path secret = Write("secret.iso", iso_);
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const auto r = test::Run("runuser -u nobody -- " + Quote(test::ProgramPath("kvctl")) + " identify " +
                             Quote(secret.string()) + " 2>&1");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Permission denied"), std::string::npos) << r.output;
  }
  // A file beyond 2^60 bytes: result 7 before any read; exactly 2^60 is looked at.
  struct Huge final : RawFile {
    int64_t size;
    int* reads;
    Huge(int64_t s, int* r) : size(s), reads(r) {}
    bool Read(uint64_t, uint32_t length, void* out, uint32_t* got) override {
      ++*reads;
      std::memset(out, 0, length);
      *got = length;
      return true;
    }
    int64_t Size() const override { return size; }
  };
  int reads = 0;
  std::unique_ptr<inspect::ImageProbe> probe;
  EXPECT_EQ(inspect::OpenImage("h.iso", "", std::make_unique<Huge>((int64_t{1} << 60) + 1, &reads), context_, &probe),
            inspect::kOpenTooLarge);
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(inspect::OpenImage("h.iso", "", std::make_unique<Huge>(int64_t{1} << 60, &reads), context_, &probe),
            inspect::kOpenUnrecognised);
  EXPECT_GT(reads, 0);
}

// The sectors of an ISO image as the content of an MZP container.
class IsoSectors final : public mzp::SectorSource {
 public:
  explicit IsoSectors(const std::vector<uint8_t>& iso) : iso_(iso) {}
  uint64_t SectorCount() const override { return iso_.size() / 2048; }
  bool Read(uint64_t first, uint32_t count, uint8_t* out, std::string*) override {
    std::memcpy(out, &iso_[first * 2048], size_t{count} * 2048);
    return true;
  }

 private:
  const std::vector<uint8_t>& iso_;
};

TEST_F(Identify, MzpContainersWithTheirPasswordsVersionsAndVolumes) {
  mzp::MarfsVolumeWriter folder;
  std::vector<std::string> skipped;
  std::string error;
  ASSERT_TRUE(folder.Layout((dir_ / "src").string(), u"", &skipped, &error)) << error;
  IsoSectors iso(iso_);
  auto pack = [&](mzp::SectorSource& source, const std::string& name, const mzp::PackOptions& o) {
    mzp::PackResult result;
    std::string why;
    EXPECT_TRUE(mzp::WriteMzp(source, (dir_ / name).string(), o, &result, &why)) << why;
    return result.files;
  };
  mzp::PackOptions plain;
  plain.chunkSize = 16384;
  pack(folder, "folder.mzp", plain);
  pack(iso, "iso.mzp", plain);
  fs::copy_file(dir_ / "folder.mzp", dir_ / "mzp-named.iso");
  mzp::PackOptions locked = plain;
  locked.password = std::string(32, 'k') + "-tail";
  pack(folder, "locked.mzp", locked);
  // A non-ASCII password, written as the service will turn the typed text into key bytes.
  mzp::PackOptions accented = plain;
  accented.password = platform::WideToAnsi(u"m\u00fcnster", platform::AnsiCodePage());
  pack(folder, "accented.mzp", accented);
  mzp::PackOptions split = plain;
  split.method = mzp::PackMethod::kDeflate;
  split.volumeSize = 64 * 1024;
  const auto setFiles = pack(iso, "set.mzp", split);
  ASSERT_TRUE(fs::exists(dir_ / "set.part03.mzp")) << "the ISO needs at least 3 volumes of 64 KiB";
  // A header of another version, with a correct CRC.
  auto other = test::ReadFileBytes(dir_ / "folder.mzp");
  const uint32_t version = 0x110;
  std::memcpy(&other[offsetof(mzp::MainHeader, version)], &version, 4);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, other.data(), offsetof(mzp::MainHeader, crc)));
  std::memcpy(&other[offsetof(mzp::MainHeader, crc)], &crc, 4);
  Write("other.mzp", other);
  auto broken = test::ReadFileBytes(dir_ / "folder.mzp");
  broken[offsetof(mzp::MainHeader, contentSize)] ^= 1;
  Write("broken.mzp", broken);

  const std::string right = locked.password;
  struct Case {
    std::string picked;
    std::deque<std::optional<std::u16string>> answers;
    int32_t result;
    std::string image;  // inspected file; empty: the picked one
    bool marfs = false;
    std::vector<std::string> shown = {};
  };
  const std::u16string wide = platform::Utf8ToUtf16(right);
  const std::vector<Case> cases = {
      {"folder.mzp", {}, 0, "", true},
      {"mzp-named.iso", {}, 0, "", true},
      {"iso.mzp", {}, 0, "", false},
      {"set.part03.mzp", {}, 0, "set.part01.mzp", false},
      // Wrong: a wrong word, an empty one, 257 bytes that start with the 32 bytes of the key.
      {"locked.mzp",
       {u"wrong", u"", wide + std::u16string(257 - wide.size(), u'x'), wide},
       0,
       "",
       true,
       {"password", "wrong", "password", "wrong", "password", "wrong", "password"}},
      // The key is the password's first 32 bytes: a password of 256 bytes that starts with them opens.
      {"locked.mzp", {wide + std::u16string(256 - wide.size(), u'x')}, 0, "", true, {"password"}},
      {"locked.mzp", {}, inspect::kOpenPasswordRequired, "", false, {"password"}},
      {"accented.mzp", {u"m\u00fcnster"}, 0, "", true, {"password"}},
      {"other.mzp", {}, inspect::kOpenVersionUnsupported, "", false},
      {"broken.mzp", {}, inspect::kOpenUnrecognised, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picked);
    prompts_.shown.clear();
    prompts_.passwords = c.answers;
    auto in = Inspect(dir_ / c.picked);
    ASSERT_EQ(in.result, c.result);
    std::vector<std::string> kinds;
    for (const auto& s : prompts_.shown) kinds.push_back(s.substr(0, s.find(':')));
    EXPECT_EQ(kinds, c.shown);
    if (c.result != 0) continue;
    EXPECT_EQ(in.image, (dir_ / (c.image.empty() ? c.picked : c.image)).string());
    inspect::ImageProbe& p = *in.probe;
    EXPECT_EQ(p.format, kFormatMzp);
    EXPECT_EQ(p.sectorSize, 2048);
    EXPECT_EQ(p.marfs.has_value(), c.marfs);
    ASSERT_TRUE(p.mzp);
    EXPECT_EQ(p.sectorCount, static_cast<int32_t>(c.marfs ? folder.SectorCount() : iso_.size() / 2048));
    if (!c.marfs) {
      EXPECT_TRUE(p.fileSystem.iso);
      EXPECT_EQ(p.fileSystem.volumeSpaceSize, iso_.size() / 2048);
    }
    EXPECT_EQ(p.mzp->volumeCount, c.picked.find("set.") == 0 ? setFiles.size() : 1u);
    if (c.picked == "accented.mzp") {
      // The probe keeps the typed text; what reaches the service converts back to the same key.
      EXPECT_EQ(p.password, "m\xc3\xbcnster");
      EXPECT_EQ(platform::WideToAnsi(platform::Utf8ToUtf16(p.password), platform::AnsiCodePage()), accented.password);
    }
    if (c.picked == "locked.mzp") {
      EXPECT_EQ(p.mzp->keyBits, 256u);
      EXPECT_TRUE(p.encrypted);
      EXPECT_EQ(platform::Utf8ToUtf16(p.password), c.answers.back().value());
    }
  }

  // A missing middle volume is asked for as a DAA volume is: given up, then skipped.
  fs::rename(dir_ / "set.part02.mzp", dir_ / "away");
  prompts_.shown.clear();
  auto in = Inspect(dir_ / "set.part01.mzp");
  EXPECT_TRUE(in.abandoned);
  EXPECT_EQ(prompts_.shown, std::vector<std::string>{"volumes: set.part02.mzp"});
  prompts_.volumeAnswers = {{true, true}};
  in = Inspect(dir_ / "set.part01.mzp");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->format, kFormatMzp);
  EXPECT_EQ(inspect::VolumeName("X.part001.mzp", 11, 1), "X.part012.mzp");
}

TEST_F(Identify, OnlyARarArchivesCommentIsShown) {
  if (!test::HaveTool("7z") || !test::HaveTool("zip")) GTEST_SKIP() << "7z or zip is not installed";
  const fs::path zip = dir_ / "noted.zip";
  ASSERT_EQ(test::Run("cd " + Quote((dir_ / "src").string()) + " && printf 'line one\\nline two\\n' | zip -q -r -z " +
                      Quote(zip.string()) + " .")
                .exitCode,
            0);
  // The library reads the zip's comment ...
  archive::OpenRequest request;
  request.path = zip.string();
  request.installDir = KV_INSTALL_DIR;
  request.storeFolder = (dir_ / "store").string();
  fs::create_directories(request.storeFolder);
  archive::OpenError error = archive::OpenError::kNone;
  auto opened = archive::MountedArchive::Open(request, &error);
  ASSERT_TRUE(opened) << static_cast<int>(error);
  EXPECT_NE(platform::Utf16ToUtf8(opened->comment()).find("line two"), std::string::npos);
  opened.reset();
  // ... but the manager shows the comment of RAR archives only.
  auto in = Inspect(zip);
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->format, kFormatArchive);
  EXPECT_TRUE(in.probe->comment.empty());
  // A RAR 5 archive's comment, with its line breaks and a non-ASCII character, is the probe's.
  const std::string comment = "line one\nline two \xc3\xa4";
  Write("noted.rar", test::WriteRar5({{"a.txt", {'h', 'i', '\n'}}, {"d/b.txt", {'x'}}}, comment));
  Write("plain.rar", test::WriteRar5({{"a.txt", {'h', 'i', '\n'}}}, ""));
  in = Inspect(dir_ / "noted.rar");
  ASSERT_EQ(in.result, 0);
  EXPECT_EQ(in.probe->archiveFormat, "Rar5");
  EXPECT_EQ(in.probe->archiveItems, 2u);
  EXPECT_EQ(in.probe->comment, comment);
  in = Inspect(dir_ / "plain.rar");
  ASSERT_EQ(in.result, 0);
  EXPECT_TRUE(in.probe->comment.empty());
  EXPECT_TRUE(prompts_.shown.empty()) << "the inspection shows nothing; the mount shows the comment";
}

}  // namespace
}  // namespace kv

namespace kv {
namespace {

TEST(DriveTargets, OnlyTheDriversCdDevicesZeroTo22) {
  struct Case {
    const char* target;
    int number;
  };
  for (const Case& c : std::vector<Case>{{"\\Device\\KVEmu\\KVEmuCd0", 0},
                                         {"\\Device\\KVEmu\\KVEmuCd22", 22},
                                         {"\\Device\\KVEmu\\KVEmuCd23", -1},
                                         {"\\Device\\KVEmu\\KVEmuCd007", -1},
                                         {"\\Device\\KVEmu\\KVEmuCd", -1},
                                         {"\\Device\\KVEmu\\KVEmuCdx", -1},
                                         {"\\Device\\HarddiskVolume1", -1}})
    EXPECT_EQ(manager::DriveNumberOfTarget(c.target), c.number) << c.target;
}

TEST_F(Identify, NrgWithDataAndAudioTracksServesItsDataTrack) {
  // The driver's NRG reader serves one Mode 1 track only, so the NRG attempt fails and the raw
  // scan finds the data track's geometry: the data still mounts, the audio track does not.
  test::NrgOptions o;
  o.audioSectors = 300;
  auto in = Inspect(Write("mixed.nrg", test::MakeNrg(iso_, o).bytes));
  ASSERT_EQ(in.result, 0);
  EXPECT_TRUE(IsPlainGeometryFormat(in.probe->format)) << in.probe->format;
  EXPECT_FALSE(in.probe->layout);
  EXPECT_TRUE(ReadsLikeTheIso(*in.probe));
}

}  // namespace
}  // namespace kv
