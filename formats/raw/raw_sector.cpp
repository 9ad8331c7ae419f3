#include "formats/raw/raw_sector.h"

#include <array>
#include <cstring>

#include "common/mount_request.h"

namespace kv {
namespace {

constexpr uint32_t kEdcPolynomial = 0xD8018001u;  // 0x8001801B reflected

// Slice-by-8 tables: edc[k][b] is the CRC of byte b followed by k zero bytes.
struct EdcTables {
  uint32_t t[8][256];
};

constexpr EdcTables MakeEdcTables() {
  EdcTables e{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kEdcPolynomial : 0);
    e.t[0][i] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) e.t[k][i] = (e.t[k - 1][i] >> 8) ^ e.t[0][e.t[k - 1][i] & 0xFF];
  return e;
}

constexpr EdcTables kEdc = MakeEdcTables();

// GF(2^8) with polynomial 0x11D: multiplication by alpha, and the inverse of x -> x ^ alpha·x,
// which turns the two running sums of a codeword into its two parity bytes.
struct GfTables {
  uint8_t timesAlpha[256];
  uint8_t solve[256];
};

constexpr GfTables MakeGfTables() {
  GfTables g{};
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t f = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
    g.timesAlpha[i] = static_cast<uint8_t>(f);
    g.solve[i ^ f] = static_cast<uint8_t>(i);
  }
  return g;
}

constexpr GfTables kGf = MakeGfTables();

// The product code covers the 2340 bytes from the header (offset 12).
constexpr uint32_t kEccBase = 12;
constexpr uint32_t kPCount = 86, kPLength = 24;  // P: 86 columns of 24 bytes (m + 86k)
constexpr uint32_t kQCount = 52, kQLength = 43;  // Q: 52 diagonals of 43 bytes (step 88 mod 2236)
constexpr uint32_t kPOffset = 2076, kQOffset = 2248;
constexpr uint32_t kQSpan = kQCount * kQLength;

struct QIndex {
  uint16_t at[kQLength][kQCount];
};

constexpr QIndex MakeQIndex() {
  QIndex q{};
  for (uint32_t major = 0; major < kQCount; ++major) {
    uint32_t index = (major >> 1) * kPCount + (major & 1);
    for (uint32_t minor = 0; minor < kQLength; ++minor) {
      q.at[minor][major] = static_cast<uint16_t>(index);
      index += 88;
      if (index >= kQSpan) index -= kQSpan;
    }
  }
  return q;
}

constexpr QIndex kQIndex = MakeQIndex();

// All codewords of one kind are advanced together, so the table look-ups of different
// codewords do not wait for each other.
void ComputePParity(uint8_t* sector) {
  const uint8_t* src = sector + kEccBase;
  uint8_t a[kPCount] = {}, b[kPCount] = {};
  for (uint32_t row = 0; row < kPLength; ++row) {
    const uint8_t* r = src + row * kPCount;
    for (uint32_t m = 0; m < kPCount; ++m) {
      a[m] = kGf.timesAlpha[a[m] ^ r[m]];
      b[m] ^= r[m];
    }
  }
  uint8_t* p = sector + kPOffset;
  for (uint32_t m = 0; m < kPCount; ++m) {
    const uint8_t x = kGf.solve[kGf.timesAlpha[a[m]] ^ b[m]];
    p[m] = x;
    p[m + kPCount] = x ^ b[m];
  }
}

void ComputeQParity(uint8_t* sector) {
  const uint8_t* src = sector + kEccBase;
  uint8_t a[kQCount] = {}, b[kQCount] = {};
  for (uint32_t minor = 0; minor < kQLength; ++minor) {
    const uint16_t* at = kQIndex.at[minor];
    for (uint32_t m = 0; m < kQCount; ++m) {
      const uint8_t v = src[at[m]];
      a[m] = kGf.timesAlpha[a[m] ^ v];
      b[m] ^= v;
    }
  }
  uint8_t* q = sector + kQOffset;
  for (uint32_t m = 0; m < kQCount; ++m) {
    const uint8_t x = kGf.solve[kGf.timesAlpha[a[m]] ^ b[m]];
    q[m] = x;
    q[m + kQCount] = x ^ b[m];
  }
}

void PutEdc(uint8_t* sector, uint32_t from, uint32_t to) {
  const uint32_t edc = ComputeEdc(sector + from, to - from);
  for (int i = 0; i < 4; ++i) sector[to + i] = static_cast<uint8_t>(edc >> (8 * i));
}

uint8_t Bcd(uint32_t v) {
  v %= 100;
  return static_cast<uint8_t>(((v / 10) << 4) | (v % 10));
}

void PutUserData(uint8_t* sector, uint32_t at, const uint8_t* user, uint32_t size) {
  if (user == nullptr)
    std::memset(sector + at, 0, size);
  else if (user != sector + at)
    std::memmove(sector + at, user, size);
}

void PutSubHeader(uint8_t* sector, uint8_t submode) {
  const uint8_t sub[8] = {0, 0, submode, 0, 0, 0, submode, 0};
  std::memcpy(sector + 16, sub, sizeof sub);
}

}  // namespace

uint32_t ComputeEdc(const uint8_t* p, size_t n, uint32_t crc) {
  while (n >= 8) {
    const uint32_t lo = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    crc = kEdc.t[7][lo & 0xFF] ^ kEdc.t[6][(lo >> 8) & 0xFF] ^ kEdc.t[5][(lo >> 16) & 0xFF] ^ kEdc.t[4][lo >> 24] ^
          kEdc.t[3][p[4]] ^ kEdc.t[2][p[5]] ^ kEdc.t[1][p[6]] ^ kEdc.t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) crc = (crc >> 8) ^ kEdc.t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

void WriteSyncAndHeader(int64_t address, uint8_t mode, uint8_t* s) {
  s[0] = 0;
  std::memset(s + 1, 0xFF, 10);
  s[11] = 0;
  int64_t x = address < -150 ? address + 450150 : address + 150;
  if (x < 0) x = 0;
  const uint64_t u = static_cast<uint64_t>(x);
  s[12] = Bcd(static_cast<uint32_t>(u / 4500 % 100));
  s[13] = Bcd(static_cast<uint32_t>(u / 75 % 60));
  s[14] = Bcd(static_cast<uint32_t>(u % 75));
  s[15] = mode;
}

void BuildMode1Sector(int64_t address, const uint8_t* user, uint8_t* s) {
  PutUserData(s, 16, user, kSectorSize);
  WriteSyncAndHeader(address, 1, s);
  PutEdc(s, 0, 2064);
  std::memset(s + 2068, 0, 8);
  ComputePParity(s);
  ComputeQParity(s);
}

void BuildMode2Form1Sector(int64_t address, const uint8_t* user, uint8_t* s) {
  PutUserData(s, 24, user, kSectorSize);
  PutSubHeader(s, 0x08);
  PutEdc(s, 16, 2072);
  // The parity of a Mode 2 sector is computed over a zero header.
  std::memset(s + 12, 0, 4);
  ComputePParity(s);
  ComputeQParity(s);
  WriteSyncAndHeader(address, 2, s);
}

void BuildMode2Form2Sector(int64_t address, const uint8_t* user, uint8_t* s) {
  PutUserData(s, 24, user, kMode2Form2DataSize);
  PutSubHeader(s, 0x20);
  PutEdc(s, 16, 2348);
  WriteSyncAndHeader(address, 2, s);
}

void BuildMode2FormlessSector(int64_t address, const uint8_t* data, uint8_t* s) {
  PutUserData(s, 16, data, kMode2FormlessSize);
  WriteSyncAndHeader(address, 2, s);
}

}  // namespace kv
