// The order in which formats are tried, over made-up format tables.
#include <gtest/gtest.h>

#include "archive/format_choice.h"
#include "archive/wide_text.h"

namespace kv::archive {
namespace {

FormatInfo Format(std::u16string name, std::vector<std::u16string> extensions, std::string signature = {}) {
  FormatInfo f;
  f.name = std::move(name);
  f.extensions = std::move(extensions);
  f.signature.assign(signature.begin(), signature.end());
  return f;
}

std::vector<std::u16string> Names(const std::vector<FormatInfo>& formats, const std::vector<size_t>& order) {
  std::vector<std::u16string> out;
  for (size_t i : order) out.push_back(formats[i].name);
  return out;
}

class FormatChoice : public ::testing::Test {
 protected:
  FormatChoice() {
    formats_ = {Format(u"Alpha", {u"aaa"}, "AB"),
                Format(u"Beta", {u"bbb"}, "XYZ"),
                Format(u"Rar", {u"rar", u"r00"}, std::string("Rar!\x1A\x07\x00", 7)),
                Format(u"Split", {u"001"}),
                Format(u"Iso", {u"iso", u"img"}, "CD001"),
                Format(u"Udf", {u"udf", u"iso", u"img"}),
                Format(u"Gamma", {u"ccc"}, "Q"),  // one byte: never scanned for
                Format(u"Delta", {u"ddd"}, "MNOP")};
  }
  // Chooses for `name` over `content`; counts the reads of the head.
  bool Choose(const std::u16string& name, const std::string& content, std::vector<size_t>* order) {
    reads_ = 0;
    const ReadHead head = [&](uint8_t* buffer, size_t size) {
      ++reads_;
      const size_t n = std::min(size, content.size());
      std::copy(content.begin(), content.begin() + static_cast<ptrdiff_t>(n), buffer);
      return n;
    };
    return ChooseFormatOrder(formats_, name, head, order);
  }
  std::vector<FormatInfo> formats_;
  int reads_ = 0;
};

TEST_F(FormatChoice, OneMatchingExtensionDecidesWithoutLookingAtTheContents) {
  std::vector<size_t> order;
  ASSERT_TRUE(Choose(u"x.BBB", "AB....", &order));
  EXPECT_EQ(reads_, 0);
  EXPECT_EQ(Names(formats_, order),
            (std::vector<std::u16string>{u"Beta", u"Alpha", u"Rar", u"Split", u"Iso", u"Udf", u"Gamma", u"Delta"}));
  // Even an empty file is then tried.
  ASSERT_TRUE(Choose(u"x.aaa", "", &order));
  EXPECT_EQ(order.front(), 0u);
}

TEST_F(FormatChoice, FirstRarVolumeNamed001GoesToTheRarHandler) {
  std::string head("Rar!\x1A\x07\x00\x00\x00\x73\x01", 11);
  head.resize(64, '\0');
  std::vector<size_t> order;
  ASSERT_TRUE(Choose(u"set.001", head, &order));
  EXPECT_EQ(reads_, 1);
  EXPECT_EQ(Names(formats_, order)[0], u"Rar");
  EXPECT_EQ(Names(formats_, order)[1], u"Split");
  // Without the volume flag, or too short, the split handler stays first.
  std::string plain = head;
  plain[10] = 0;
  ASSERT_TRUE(Choose(u"set.001", plain, &order));
  EXPECT_EQ(Names(formats_, order)[0], u"Split");
  ASSERT_TRUE(Choose(u"set.001", head.substr(0, 15), &order));
  EXPECT_EQ(Names(formats_, order)[0], u"Split");
  EXPECT_TRUE(IsFirstRarVolume(reinterpret_cast<const uint8_t*>(head.data()), 16));
}

TEST_F(FormatChoice, SignaturesOrderTheCandidatesByPositionOfTheirFirstMatch) {
  std::string content = "....MNOP....XYZ..AB..MNOP..Q";
  std::vector<size_t> order;
  ASSERT_TRUE(Choose(u"x.unknown", content, &order));
  // The others keep their order, except that Udf, right behind Iso, goes first.
  EXPECT_EQ(Names(formats_, order),
            (std::vector<std::u16string>{u"Delta", u"Beta", u"Alpha", u"Rar", u"Split", u"Udf", u"Iso", u"Gamma"}));
  // A signature cut off by the end of the data does not count.
  ASSERT_TRUE(Choose(u"noext", "..XY", &order));
  EXPECT_EQ(order.front(), 0u);
  // Extension matches come first among the formats without a signature match.
  ASSERT_TRUE(Choose(u"x.iso", "..AB", &order));
  EXPECT_EQ(Names(formats_, order),
            (std::vector<std::u16string>{u"Alpha", u"Udf", u"Iso", u"Beta", u"Rar", u"Split", u"Gamma", u"Delta"}));
}

TEST_F(FormatChoice, UdfIsTriedBeforeIsoWhenItStandsRightBehind) {
  std::string image(40000, '\0');
  image.replace(32769, 5, "CD001");
  std::vector<size_t> order;
  ASSERT_TRUE(Choose(u"disc.iso", image, &order));
  EXPECT_EQ(Names(formats_, order)[0], u"Udf");
  EXPECT_EQ(Names(formats_, order)[1], u"Iso");
  image.replace(100, 2, "AB");
  ASSERT_TRUE(Choose(u"disc.img", image, &order));
  EXPECT_EQ(Names(formats_, order)[0], u"Alpha");
  EXPECT_EQ(Names(formats_, order)[1], u"Udf");
  EXPECT_EQ(Names(formats_, order)[2], u"Iso");
  // Not adjacent: no swap.
  ASSERT_TRUE(Choose(u"x.unknown", "..CD001...AB", &order));
  EXPECT_EQ(Names(formats_, order)[0], u"Iso");
  EXPECT_EQ(Names(formats_, order)[1], u"Alpha");
}

TEST_F(FormatChoice, EmptyFileOrTooManyCandidatesFail) {
  std::vector<size_t> order;
  EXPECT_FALSE(Choose(u"x.unknown", "", &order));
  for (int i = 0; i < 250; ++i) formats_.push_back(Format(u"F" + Utf8ToUtf16(std::to_string(i)), {u"f"}));
  EXPECT_FALSE(Choose(u"x.unknown", "AB", &order));
  // With one extension match no scan is needed, whatever the count.
  EXPECT_TRUE(Choose(u"x.aaa", "", &order));
}

TEST(FormatChoiceText, ExtensionIsTheTextAfterTheLastDot) {
  EXPECT_EQ(ExtensionOf(u"a.tar.gz"), u"gz");
  EXPECT_EQ(ExtensionOf(u"noext"), u"");
  EXPECT_EQ(ExtensionOf(u"trailing."), u"");
}

}  // namespace
}  // namespace kv::archive
