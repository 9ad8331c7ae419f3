// ImageFile::ReadAt against the bytes of the file, and the shape of every read it issues.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "formats/image_source.h"
#include "tests/fixtures/test_support.h"

namespace kv {
namespace {

struct ReadCall {
  uint64_t offset;
  uint32_t length;
  uintptr_t destination;
};

// Memory file that records each read and can be told to fail.
class RecordingFile final : public RawFile {
 public:
  explicit RecordingFile(std::vector<uint8_t> bytes, std::vector<ReadCall>* calls)
      : bytes_(std::move(bytes)), calls_(calls) {}
  uint64_t failFrom = UINT64_MAX;  // reads at or after this offset report a failure status
  bool emptyInsteadOfFailure = false;

  bool Read(uint64_t offset, uint32_t length, void* destination, uint32_t* returned) override {
    calls_->push_back({offset, length, reinterpret_cast<uintptr_t>(destination)});
    *returned = 0;
    if (offset >= failFrom) return emptyInsteadOfFailure;
    if (offset >= bytes_.size()) return false;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, bytes_.size() - offset));
    std::memcpy(destination, bytes_.data() + offset, n);
    *returned = n;
    return true;
  }
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<ReadCall>* calls_;
};

TEST(ImageFile, ReadAtDeliversTheFileBytesThroughAlignedReadsOfAtMost32KiB) {
  const std::vector<uint8_t> data = test::PatternBytes(200000 + 777, 7);
  std::vector<ReadCall> calls;
  ImageFile file(std::make_unique<RecordingFile>(data, &calls));

  std::vector<std::pair<uint64_t, uint64_t>> cases;
  for (uint64_t off : {0ull, 1ull, 2047ull, 2048ull, 2049ull, 30000ull, 32767ull, 32768ull, 32769ull, 65535ull})
    for (uint64_t len : {0ull, 1ull, 2047ull, 2048ull, 2049ull, 32767ull, 32768ull, 32769ull, 70001ull})
      cases.emplace_back(off, len);
  std::mt19937_64 rng(99);
  for (int i = 0; i < 400; ++i) {
    const uint64_t off = rng() % data.size();
    cases.emplace_back(off, rng() % (data.size() - off + 1));
  }
  cases.emplace_back(data.size() - 1, 1);
  cases.emplace_back(0, data.size());

  std::vector<uint8_t> out;
  for (const auto& [off, len] : cases) {
    out.assign(len + 1, 0xEE);
    ASSERT_TRUE(file.ReadAt(off, len, out.data())) << off << "+" << len;
    ASSERT_EQ(0, std::memcmp(out.data(), data.data() + off, len)) << off << "+" << len;
    ASSERT_EQ(out[len], 0xEE) << "wrote past the destination at " << off << "+" << len;
  }
  ASSERT_FALSE(calls.empty());
  for (const ReadCall& c : calls) {
    EXPECT_EQ(c.offset % 2048, 0u);
    EXPECT_EQ(c.length % 2048, 0u);
    EXPECT_GT(c.length, 0u);
    EXPECT_LE(c.length, 32768u);
    EXPECT_EQ(c.destination % 2048, 0u);
  }
}

TEST(ImageFile, ReadsThatRunPastTheEndFailAsAWhole) {
  const std::vector<uint8_t> data = test::PatternBytes(10000, 3);
  std::vector<ReadCall> calls;
  ImageFile file(std::make_unique<RecordingFile>(data, &calls));
  std::vector<uint8_t> out(100000);
  EXPECT_TRUE(file.ReadAt(8000, 2000, out.data()));
  EXPECT_TRUE(file.ReadAt(9999, 1, out.data()));
  EXPECT_FALSE(file.ReadAt(8000, 2001, out.data()));
  EXPECT_FALSE(file.ReadAt(10000, 1, out.data()));
  EXPECT_FALSE(file.ReadAt(2048, 8000, out.data()));  // aligned start, end one byte past the file
  EXPECT_FALSE(file.ReadAt(0, 40000, out.data()));
  EXPECT_FALSE(file.ReadAt(UINT64_MAX - 10, 100, out.data()));
}

TEST(ImageFile, AFailedOrEmptyReadFailsTheCall) {
  const std::vector<uint8_t> data = test::PatternBytes(100000, 4);
  for (bool empty : {false, true}) {
    std::vector<ReadCall> calls;
    auto raw = std::make_unique<RecordingFile>(data, &calls);
    raw->failFrom = 32768;
    raw->emptyInsteadOfFailure = empty;
    ImageFile file(std::move(raw));
    std::vector<uint8_t> out(100000);
    EXPECT_TRUE(file.ReadAt(100, 32668, out.data()));
    EXPECT_FALSE(file.ReadAt(0, 32769, out.data())) << "empty=" << empty;
    EXPECT_FALSE(file.ReadAt(40000, 10, out.data())) << "empty=" << empty;
    EXPECT_LT(calls.size(), 10u);  // no retrying loop
  }
}

// Into memory an unbuffered read can fill, whole chunks go straight to the destination, asked for
// together: the reads, the bytes and the failures are those of one chunk at a time.
TEST(ImageFile, AlignedDestinationsGetTheSameReadsAndFailures) {
  const std::vector<uint8_t> data = test::PatternBytes(40 * 32768 + 5000, 8);
  constexpr size_t kRoom = 41 * 32768;
  auto* aligned = static_cast<uint8_t*>(std::aligned_alloc(4096, kRoom + 4096));
  ASSERT_NE(aligned, nullptr);
  struct Case {
    uint64_t offset, length, failFrom;
    bool ok;
  };
  for (const Case& c : {Case{0, 2 * 32768, UINT64_MAX, true}, Case{0, 40 * 32768 + 5000, UINT64_MAX, true},
                        Case{2048, 33 * 32768 + 100, UINT64_MAX, true}, Case{100, 3 * 32768, UINT64_MAX, true},
                        Case{0, 40 * 32768 + 5001, UINT64_MAX, false}, Case{0, 10 * 32768, 5 * 32768, false},
                        Case{32768, 35 * 32768, 34 * 32768, false}, Case{0, 2 * 32768, 32768, false}}) {
    for (uint8_t* out : {aligned, aligned + 2048}) {
      std::vector<ReadCall> batched, single;
      auto raw = std::make_unique<RecordingFile>(data, &batched);
      raw->failFrom = c.failFrom;
      ImageFile file(std::move(raw));
      auto plain = std::make_unique<RecordingFile>(data, &single);
      plain->failFrom = c.failFrom;
      ImageFile reference(std::move(plain));
      std::vector<uint8_t> copy(c.length + 1);  // at an odd address: one chunk at a time
      out[c.length] = 0xEE;
      const bool ok = file.ReadAt(c.offset, c.length, out);
      EXPECT_EQ(ok, c.ok) << c.offset << "+" << c.length;
      EXPECT_EQ(reference.ReadAt(c.offset, c.length, copy.data() + 1), c.ok);
      EXPECT_EQ(out[c.length], 0xEE) << "wrote past the destination";
      if (ok) {
        EXPECT_EQ(0, std::memcmp(out, data.data() + c.offset, c.length)) << c.offset << "+" << c.length;
      }
      ASSERT_EQ(batched.size(), single.size()) << c.offset << "+" << c.length;
      for (size_t i = 0; i < batched.size(); ++i) {
        EXPECT_EQ(batched[i].offset, single[i].offset) << i;
        EXPECT_EQ(batched[i].length, single[i].length) << i;
      }
    }
  }
  std::free(aligned);
}

TEST(PosixFile, OpensRegularFilesOnly) {
  test::TempDir dir;
  const auto data = test::PatternBytes(5000, 5);
  test::WriteFileBytes(dir / "f", data);
  int error = -1;
  auto f = OpenPosixFile((dir / "f").string(), &error);
  ASSERT_TRUE(f);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(f->Size(), 5000);
  std::vector<uint8_t> out(8192);
  uint32_t got = 0;
  ASSERT_TRUE(f->Read(4096, 4096, out.data(), &got));
  EXPECT_EQ(got, 904u);
  EXPECT_EQ(0, std::memcmp(out.data(), data.data() + 4096, 904));
  EXPECT_FALSE(f->Read(5000, 2048, out.data(), &got));

  EXPECT_FALSE(OpenPosixFile((dir / "missing").string(), &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(OpenPosixFile(dir.path().string(), &error));
  EXPECT_EQ(error, EISDIR);
}

}  // namespace
}  // namespace kv
