// The kernel layer under the driver: namespace, requests, events, threads, pool, files, security.
#include "platform/kernel/kernel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/fixtures/test_support.h"

namespace kv::kernel {
namespace {

using kv::test::PatternBytes;
using kv::test::TempDir;
using kv::test::WriteFileBytes;

TEST(KernelNamespace, DosSpellingsNameOneDirectoryAndLinksAreFollowed) {
  ASSERT_EQ(ZwCreateDirectoryObject("\\Device\\KTest"), STATUS_SUCCESS);
  DriverObject driver;
  DeviceObject* dev = nullptr;
  ASSERT_EQ(IoCreateDevice(&driver, 16, "\\Device\\KTest\\Disk0", FILE_DEVICE_CD_ROM, 0, false, &dev), STATUS_SUCCESS);
  ASSERT_NE(dev->deviceExtension, nullptr);
  EXPECT_EQ(IoCreateDevice(&driver, 0, "\\Device\\KTest\\disk0", 0, 0, false, &dev), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateDevice(&driver, 0, "\\Device\\Nowhere\\Disk0", 0, 0, false, &dev), STATUS_OBJECT_PATH_NOT_FOUND);
  dev = ObLookupDevice("\\Device\\KTest\\Disk0");
  ASSERT_NE(dev, nullptr);

  ASSERT_EQ(IoCreateSymbolicLink("\\DosDevices\\KTestDev", "\\Device\\KTest\\Disk0"), STATUS_SUCCESS);
  for (const char* spelling :
       {"\\??\\KTestDev", "\\DosDevices\\Global\\KTestDev", "\\GLOBAL??\\ktestdev", "\\??\\Global\\KTestDev"}) {
    EXPECT_EQ(ObLookupDevice(spelling), dev) << spelling;
  }
  EXPECT_EQ(IoCreateSymbolicLink("\\??\\KTestDev", "\\Device\\KTest\\Disk0"), STATUS_OBJECT_NAME_COLLISION);
  // A link to a link, and a link to the directory that holds the device.
  ASSERT_EQ(IoCreateSymbolicLink("\\DosDevices\\Global\\Y:", "\\??\\KTestDev"), STATUS_SUCCESS);
  EXPECT_EQ(ObLookupDevice("\\??\\Y:"), dev);
  ASSERT_EQ(IoCreateSymbolicLink("\\??\\KTestDir", "\\Device\\KTest"), STATUS_SUCCESS);
  EXPECT_EQ(ObLookupDevice("\\??\\KTestDir\\Disk0"), dev);
  // Links that loop end without a device.
  ASSERT_EQ(IoCreateSymbolicLink("\\??\\Loop1", "\\??\\Loop2"), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateSymbolicLink("\\??\\Loop2", "\\??\\Loop1"), STATUS_SUCCESS);
  EXPECT_EQ(ObLookupDevice("\\??\\Loop1"), nullptr);
  EXPECT_EQ(ObQuerySymbolicLink("\\??\\Y:"), "\\??\\KTestDev");
  for (const char* bad : {"", "relative", "\\Device\\KTest\\", "\\Device\\\\KTest"}) {
    EXPECT_EQ(ObLookupDevice(bad), nullptr) << bad;
    EXPECT_NE(IoCreateSymbolicLink(bad, "\\Device\\KTest"), STATUS_SUCCESS) << bad;
  }

  // A temporary directory goes with everything named in it when it is closed.
  ASSERT_EQ(ZwMakeTemporaryObject("\\Device\\KTest"), STATUS_SUCCESS);
  ASSERT_EQ(ZwCloseDirectoryObject("\\Device\\KTest"), STATUS_SUCCESS);
  EXPECT_EQ(ObLookupDevice("\\??\\KTestDev"), nullptr);
  IoDeleteDevice(dev);
  for (const char* link : {"\\??\\KTestDev", "\\??\\Y:", "\\??\\KTestDir", "\\??\\Loop1", "\\??\\Loop2"}) {
    EXPECT_EQ(IoDeleteSymbolicLink(link), STATUS_SUCCESS) << link;
  }
  EXPECT_EQ(IoDeleteSymbolicLink("\\??\\Y:"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(ObListNames().empty());
}

TEST(KernelNamespace, ConcurrentCreationOfOneNameSucceedsOnce) {
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (IoCreateSymbolicLink("\\??\\Race" + std::to_string(i), "\\Device\\X") == STATUS_SUCCESS) ++created;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 200);
  for (int i = 0; i < 200; ++i) IoDeleteSymbolicLink("\\??\\Race" + std::to_string(i));
}

NTSTATUS CompleteTwice(DeviceObject*, Irp* irp) {
  IoCompleteRequest(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  IoCompleteRequest(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS CompleteOnce(DeviceObject*, Irp* irp) {
  IoCompleteRequest(irp, STATUS_DATA_ERROR, 7, IO_NO_INCREMENT);
  return STATUS_DATA_ERROR;
}

TEST(KernelRequests, CompletionRunsOnceAndASecondCompletionAborts) {
  DriverObject driver;
  DeviceObject device;
  device.driver = &driver;
  int calls = 0;
  NTSTATUS seen = 0;
  auto irp = std::make_unique<Irp>();
  irp->onComplete = [&](Irp& done) {
    ++calls;
    seen = done.status;
  };
  // No routine for the major function.
  EXPECT_EQ(IoCallDriver(&device, std::move(irp)), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(calls, 1);
  driver.Dispatch(MajorFunction::DeviceControl) = CompleteOnce;
  irp = std::make_unique<Irp>();
  irp->onComplete = [&](Irp& done) {
    ++calls;
    seen = done.status;
    EXPECT_EQ(done.information, 7u);
  };
  EXPECT_EQ(IoCallDriver(&device, std::move(irp)), STATUS_DATA_ERROR);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(seen, STATUS_DATA_ERROR);

  driver.Dispatch(MajorFunction::DeviceControl) = CompleteTwice;
  EXPECT_DEATH(IoCallDriver(&device, std::make_unique<Irp>()), "completed twice");
  Irp local;
  IoCompleteRequest(&local, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  EXPECT_DEATH(IoCompleteRequest(&local, STATUS_SUCCESS, 0, IO_NO_INCREMENT), "completed twice");
}

TEST(KernelEvents, SynchronizationReleasesOneWaiterNotificationReleasesAll) {
  KEvent sync(EventType::Synchronization, false);
  EXPECT_EQ(sync.Wait(10), STATUS_TIMEOUT);
  sync.Set();
  EXPECT_EQ(sync.Wait(0), STATUS_SUCCESS);
  EXPECT_FALSE(sync.IsSignalled()) << "auto-reset";
  EXPECT_EQ(sync.Wait(10), STATUS_TIMEOUT);

  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  // The others time out; the timeout is long enough that a loaded machine still sets first.
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += sync.Wait(1500) == STATUS_SUCCESS; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sync.Set();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woken.load(), 1);

  KEvent note(EventType::Notification, false);
  woken = 0;
  waiters.clear();
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { woken += note.Wait(-1) == STATUS_SUCCESS; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  note.Set();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_TRUE(note.IsSignalled());
  note.Clear();
  EXPECT_EQ(note.Wait(5), STATUS_TIMEOUT);
}

TEST(KernelThreads, PriorityIsKeptPerThread) {
  int inside = -1, previous = -1, restored = -1;
  {
    SystemThread t([&] {
      previous = KeSetPriorityThread(16);
      inside = KeQueryPriorityThread();
      KeSetPriorityThread(previous);
      restored = KeQueryPriorityThread();
    });
  }
  EXPECT_EQ(previous, 8);
  EXPECT_EQ(inside, 16);
  EXPECT_EQ(restored, 8);
  const int mine = KeQueryPriorityThread();
  SystemThread([&] { KeSetPriorityThread(20); }).Join();
  EXPECT_EQ(KeQueryPriorityThread(), mine);
}

TEST(KernelPool, TagsAreCountedAndFailuresInjected) {
  const uint32_t tag = PoolTag("Tst1");
  auto* a = static_cast<uint8_t*>(ExAllocatePoolWithTag(100, tag));
  auto* b = static_cast<uint8_t*>(ExAllocatePoolWithTag(0, tag));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(std::all_of(a, a + 100, [](uint8_t x) { return x == 0; }));
  EXPECT_EQ(PoolLiveCount(tag), 2);
  EXPECT_EQ(PoolLiveCount(PoolTag("Tst2")), 0);
  PoolFailAfter(1);
  void* c = ExAllocatePoolWithTag(8, tag);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(8, tag), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(8, tag), nullptr);
  PoolFailAfter(-1);
  EXPECT_EQ(ExAllocatePoolWithTag(size_t(1) << 62, tag), nullptr);
  ExFreePoolWithTag(a, tag);
  ExFreePoolWithTag(b, tag);
  ExFreePoolWithTag(c, tag);
  EXPECT_EQ(PoolLiveCount(tag), 0);
  void* d = ExAllocatePoolWithTag(8, tag);
  EXPECT_DEATH(ExFreePoolWithTag(d, PoolTag("Othr")), "another tag");
  ExFreePoolWithTag(d, tag);
}

TEST(KernelFiles, NtPathTranslation) {
  struct Case {
    std::u16string in;
    const char* out;
  };
  const Case ok[] = {
      {u"\\??\\C:\\a\\b.iso", "/a/b.iso"},
      {u"\\??\\c:\\a\\\\.\\b.iso", "/a/b.iso"},
      {u"\\??\\C:", "/"},
      {u"\\DosDevices\\C:\\x", "/x"},
      {u"\\??\\/srv/images/x.iso", "/srv/images/x.iso"},
      {u"/plain/path", "/plain/path"},
      {u"\\??\\C:\\d\u00e9j\u00e0\\\U0001F4BF.iso", "/d\xc3\xa9j\xc3\xa0/\xf0\x9f\x92\xbf.iso"},
  };
  for (const Case& c : ok) {
    std::string out;
    EXPECT_TRUE(NtPathToLinux(c.in, &out)) << c.out;
    EXPECT_EQ(out, c.out);
  }
  const std::u16string refused[] = {u"\\??\\UNC\\server\\share\\x.iso",
                                    u"\\??\\unc\\server",
                                    u"\\??\\D:\\x.iso",
                                    u"\\??\\C:\\a\\..\\etc\\shadow",
                                    u"\\??\\/a/../b",
                                    u"relative\\x",
                                    u"",
                                    std::u16string(u"\\??\\C:\\a\0b", 11),
                                    u"\\??\\C:\\\xD800x",
                                    u"\\??\\Cx\\y"};
  for (const auto& r : refused) {
    std::string out;
    EXPECT_FALSE(NtPathToLinux(r, &out)) << std::string(r.begin(), r.end());
  }
}

TEST(KernelFiles, OpenErrorsReadsAndEndOfFile) {
  TempDir dir;
  const auto path = dir / "f.bin";
  const auto bytes = PatternBytes(10000, 5);
  WriteFileBytes(path, bytes);
  auto nt = [](const std::filesystem::path& p) {
    std::u16string s = u"\\??\\C:";
    for (char ch : p.string()) s.push_back(ch == '/' ? u'\\' : static_cast<char16_t>(ch));
    return s;
  };
  std::unique_ptr<KernelFile> f;
  EXPECT_EQ(KernelFile::Open(nt(dir / "none"), &f), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(KernelFile::Open(nt(dir / "none" / "x"), &f), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(KernelFile::Open(nt(path / "x"), &f), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(KernelFile::Open(nt(dir.path()), &f), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(KernelFile::Open(u"\\??\\UNC\\h\\s\\x", &f), STATUS_OBJECT_NAME_INVALID);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_NE(KernelFile::Open(nt(dir / "fifo"), &f), STATUS_SUCCESS) << "a pipe is no image (and must not block)";
  EXPECT_EQ(f, nullptr);

  ASSERT_EQ(KernelFile::Open(nt(path), &f), STATUS_SUCCESS);
  EXPECT_EQ(f->Size(), 10000);
  EXPECT_EQ(f->AlignmentRequirement(), 511u);
  alignas(4096) static uint8_t buffer[16384];
  uint32_t got = 0;
  ASSERT_EQ(f->Read(4096, 4096, buffer, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 4096u);
  EXPECT_TRUE(std::equal(buffer, buffer + 4096, bytes.begin() + 4096));
  // Short at the end, then end of file.
  ASSERT_EQ(f->Read(8192, 8192, buffer, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 10000u - 8192);
  EXPECT_TRUE(std::equal(buffer, buffer + got, bytes.begin() + 8192));
  EXPECT_EQ(f->Read(10240, 512, buffer, &got), STATUS_END_OF_FILE);
  EXPECT_EQ(f->Read(1 << 20, 512, buffer, &got), STATUS_END_OF_FILE);
  // Unbuffered handles take only sector-aligned offsets and lengths.
  EXPECT_EQ(f->Read(100, 512, buffer, &got), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(f->Read(0, 100, buffer, &got), STATUS_INVALID_PARAMETER);
}

std::u16string NtOf(const std::filesystem::path& path) {
  std::u16string nt = u"\\??\\/";
  for (char ch : path.string().substr(1)) nt.push_back(static_cast<char16_t>(ch));
  return nt;
}

// ReadPieces of `pieces` (destinations in `together`) ends as Read of each would into the same
// place in `alone`: statuses, counts and bytes, which are the file's.
void ExpectAsReadAlone(KernelFile& f, const std::vector<KernelFile::Piece>& pieces, uint8_t* together, uint8_t* alone,
                       size_t room, const std::vector<uint8_t>& bytes, const std::string& what) {
  std::vector<NTSTATUS> statuses(pieces.size(), STATUS_PENDING);
  std::vector<uint32_t> counts(pieces.size(), 77);
  std::memset(together, 0xAB, room);
  f.ReadPieces(pieces.data(), pieces.size(), statuses.data(), counts.data());
  for (size_t i = 0; i < pieces.size(); ++i) {
    const KernelFile::Piece& p = pieces[i];
    uint8_t* mine = alone + (static_cast<uint8_t*>(p.destination) - together);
    uint32_t got = 99;
    const NTSTATUS status = f.Read(p.offset, p.length, mine, &got);
    EXPECT_EQ(statuses[i], status) << what << " piece " << i;
    if (!NT_SUCCESS(status)) continue;
    EXPECT_EQ(counts[i], got) << what << " piece " << i;
    EXPECT_EQ(0, std::memcmp(p.destination, mine, got)) << what << " piece " << i;
    EXPECT_EQ(0, std::memcmp(p.destination, bytes.data() + p.offset, got)) << what << " piece " << i;
  }
}

// Reads asked for together end as the same reads one at a time would, whether the file is
// unbuffered (run side by side) or not: bytes, statuses and counts, up to and past the end.
TEST(KernelFiles, PiecesReadTogetherMatchReadsOneAtATime) {
  TempDir dir;
  const auto path = dir / "f.bin";
  const auto bytes = PatternBytes(3 * 65536 + 6144 + 100, 6);
  WriteFileBytes(path, bytes);
  constexpr size_t kRoom = 1u << 20;
  auto* together = static_cast<uint8_t*>(std::aligned_alloc(4096, kRoom));
  auto* alone = static_cast<uint8_t*>(std::aligned_alloc(4096, kRoom));
  ASSERT_TRUE(together && alone);
  for (bool direct : {true, false}) {
    KernelFileUseDirectIo(direct);
    std::unique_ptr<KernelFile> f;
    ASSERT_EQ(KernelFile::Open(NtOf(path), &f), STATUS_SUCCESS);
    std::vector<KernelFile::Piece> pieces;
    // Whole chunks, the short last one, past the end, unaligned, and more than run at once.
    for (uint32_t i = 0; i < 7; ++i) pieces.push_back({i * 32768ull, 32768, together + i * 32768});
    for (uint32_t i = 0; i < 70; ++i) pieces.push_back({(i % 6) * 2048ull, 2048, together + 11 * 32768 + i * 4096});
    pieces.push_back({3 * 65536 + 4096, 8192, together + 7 * 32768});
    pieces.push_back({1 << 20, 4096, together + 8 * 32768});
    pieces.push_back({512, 100, together + 9 * 32768});
    pieces.push_back({0, 0, together + 10 * 32768});
    pieces.push_back({4096, 4096, together + 10 * 32768 + 4096});
    ExpectAsReadAlone(*f, pieces, together, alone, kRoom, bytes, direct ? "direct" : "cached");
  }
  KernelFileUseDirectIo(true);
  std::free(together);
  std::free(alone);
}

// Calls that go on where the last ended are read ahead on an unbuffered file; whatever comes
// next (the stretch read ahead, part of it, a jump back, a piece it may not serve, the end of the
// file) ends as reads one at a time would.
TEST(KernelFiles, ReadsFrontToBackAndAroundMatchReadsOneAtATime) {
  TempDir dir;
  const auto path = dir / "f.bin";
  const auto bytes = PatternBytes(3 * 262144 + 5000, 7);
  WriteFileBytes(path, bytes);
  constexpr size_t kRoom = 1u << 20;
  auto* together = static_cast<uint8_t*>(std::aligned_alloc(4096, kRoom));
  auto* alone = static_cast<uint8_t*>(std::aligned_alloc(4096, kRoom));
  ASSERT_TRUE(together && alone);
  struct Call {
    uint64_t offset;
    uint32_t pieceLength;
    uint32_t pieces;
  };
  const std::vector<Call> calls = {
      {0, 32768, 8},      {262144, 32768, 8}, {524288, 32768, 8},  // front to back in 256 KiB
      {786432, 32768, 8},                                          // past the end
      {0, 65536, 1},      {65536, 65536, 1},  {131072, 2048, 16},  // a jump back, then 2 KiB pieces
      {163840, 4096, 64},                                          // longer than what was read ahead
      {98304, 32768, 4},                                           // back into what was read before
      {786432, 2048, 3},  {792576, 512, 1},                        // the file's last bytes
  };
  KernelFileUseDirectIo(true);
  std::unique_ptr<KernelFile> f;
  ASSERT_EQ(KernelFile::Open(NtOf(path), &f), STATUS_SUCCESS);
  for (size_t c = 0; c < calls.size(); ++c) {
    std::vector<KernelFile::Piece> pieces;
    for (uint32_t i = 0; i < calls[c].pieces; ++i)
      pieces.push_back({calls[c].offset + uint64_t{i} * calls[c].pieceLength, calls[c].pieceLength,
                        together + size_t{i} * calls[c].pieceLength});
    ExpectAsReadAlone(*f, pieces, together, alone, kRoom, bytes, "call " + std::to_string(c));
  }
  // A piece that is not whole sectors, inside a stretch read ahead, is refused as Read refuses it.
  ExpectAsReadAlone(*f, {{0, 65536, together}}, together, alone, kRoom, bytes, "again");
  ExpectAsReadAlone(*f, {{65536, 65536, together}}, together, alone, kRoom, bytes, "again");
  ExpectAsReadAlone(*f, {{131072, 1000, together}, {132096, 1024, together + 4096}}, together, alone, kRoom, bytes,
                    "unaligned");
  std::free(together);
  std::free(alone);
}

TEST(KernelSecurity, ImpersonationOpensWithTheClientsRights) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  const auto path = dir / "secret.bin";
  WriteFileBytes(path, PatternBytes(4096, 1));
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  std::u16string nt = u"\\??\\/";
  for (char ch : path.string().substr(1)) nt.push_back(static_cast<char16_t>(ch));

  Irp irp;
  irp.requestor.uid = 65534;
  irp.requestor.gid = 65534;
  ClientSecurity client;
  ASSERT_EQ(SeCreateClientSecurity(irp, &client), STATUS_SUCCESS);
  std::unique_ptr<KernelFile> f;
  NTSTATUS inside = STATUS_SUCCESS;
  std::thread t([&] {
    ASSERT_EQ(SeImpersonateClient(client), STATUS_SUCCESS);
    inside = KernelFile::Open(nt, &f);
    PsRevertToSelf();
  });
  t.join();
  EXPECT_EQ(inside, STATUS_ACCESS_DENIED);
  // Only that thread took the identity; here the file opens.
  EXPECT_EQ(KernelFile::Open(nt, &f), STATUS_SUCCESS);
  // After reverting the thread is itself again.
  ASSERT_EQ(SeImpersonateClient(client), STATUS_SUCCESS);
  PsRevertToSelf();
  EXPECT_EQ(KernelFile::Open(nt, &f), STATUS_SUCCESS);
}

TEST(KernelDebug, DbgPrintIsCaptured) {
  std::vector<std::string> lines;
  DbgSetCaptureHook([&](const std::string& s) { lines.push_back(s); });
  DbgPrint("value %x, %s\n", 0xC0000022u, "text");
  DbgPrint("%s", std::string(2000, 'x').c_str());
  DbgSetCaptureHook({});
  DbgPrint("not captured\n");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "value c0000022, text\n");
  EXPECT_EQ(lines[1].size(), 2000u);
}

}  // namespace
}  // namespace kv::kernel
