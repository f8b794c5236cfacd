#include "bitmap/metadata.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace lumenax {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::string MarkerText(const TLxMarkerList& list, int i) {
  return std::string(reinterpret_cast<const char*>(list.MarkerData(i)),
                     size_t(list.MarkerLength(i)));
}

TEST(MarkerList, AddSetDeleteAndLengthModulo) {
  TLxMarkerList list;
  std::vector<uint8_t> big(70000, 7);
  list.AddMarker(0xFE, big.data(), 70000);
  EXPECT_EQ(list.MarkerLength(0), 70000 % 65536);
  list.AddMarker(0xE1, "abc", 3);
  list.AddMarker(0xE0, "x", -5);  // a negative length copies nothing
  EXPECT_EQ(list.MarkerLength(2), 0);
  EXPECT_EQ(list.IndexOf(0xE1), 1);
  EXPECT_EQ(list.IndexOf(0xE5), -1);
  list.SetMarker(1, 0xE2, 2, "zz");
  EXPECT_EQ(list.MarkerCode(1), 0xE2);
  EXPECT_EQ(MarkerText(list, 1), "zz");
  list.DeleteMarker(0);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.MarkerCode(0), 0xE2);

  TLxMarkerList copy;
  copy.AddMarker(0xEE, "q", 1);
  copy.Assign(&list);
  ASSERT_EQ(copy.Count(), 2);
  EXPECT_EQ(MarkerText(copy, 0), "zz");
  copy.Assign(nullptr);  // no effect
  EXPECT_EQ(copy.Count(), 2);
}

TEST(MarkerList, SortPutsExifAheadOfXmpAndOrdersIccChunks) {
  TLxMarkerList list;
  std::string xmp = std::string(kXmpNamespace) + '\0' + "<x/>";
  std::string exif = std::string("Exif\0\0MM", 8);
  list.AddMarker(0xE1, xmp.data(), int(xmp.size()));
  list.AddMarker(0xE0, "JFIF", 4);
  list.AddMarker(0xE1, exif.data(), int(exif.size()));
  list.Sort();
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.MarkerCode(0), 0xE0);
  EXPECT_EQ(list.MarkerCode(1), 0xE1);
  EXPECT_EQ(std::memcmp(list.MarkerData(1), "Exif", 4), 0);
  EXPECT_EQ(MarkerText(list, 2), xmp);

  TLxMarkerList icc;
  auto chunk = [](uint8_t seq) {
    std::string s = std::string("ICC_PROFILE\0", 12) + char(seq) + char(2) + "data";
    return s;
  };
  std::string c2 = chunk(2), c1 = chunk(1);
  icc.AddMarker(0xE2, c2.data(), int(c2.size()));
  icc.AddMarker(0xE2, c1.data(), int(c1.size()));
  icc.AddMarker(0xDB, "t", 1);
  icc.Sort();
  EXPECT_EQ(icc.MarkerCode(0), 0xDB);
  EXPECT_EQ(icc.MarkerData(1)[12], 1);
  EXPECT_EQ(icc.MarkerData(2)[12], 2);
}

TEST(MarkerList, SortFollowsTheQuicksortForEqualCodes) {
  // Equal codes are not kept in their order: the exchange sequence of the quicksort decides,
  // and writers reproduce files by it.
  TLxMarkerList list;
  list.AddMarker(0xFE, "a", 1);
  list.AddMarker(0xFE, "b", 1);
  list.AddMarker(0xE0, "j", 1);
  list.AddMarker(0xFE, "c", 1);
  list.AddMarker(0xFE, "d", 1);
  list.Sort();
  std::string order;
  for (int i = 0; i < list.Count(); ++i) order += MarkerText(list, i);
  EXPECT_EQ(order, "jcdba");
}

TEST(IptcList, PhotoshopAndBareForms) {
  TLxIPTCInfoList list;
  EXPECT_TRUE(list.SaveToBuffer(true).empty());
  list.AddRecord(2, 120, 5, "hello");
  std::vector<uint8_t> ps = list.SaveToBuffer(true);
  ASSERT_EQ(ps.size(), 36u);
  EXPECT_EQ(std::memcmp(ps.data(), "Photoshop 3.0\0008BIM\x04\x04\0\0", 22), 0);
  EXPECT_EQ(ps[22], 0);
  EXPECT_EQ(ps[23], 0);
  EXPECT_EQ(ps[24], 0);
  EXPECT_EQ(ps[25], 0x0A);
  EXPECT_EQ(std::vector<uint8_t>(ps.begin() + 26, ps.begin() + 31),
            (std::vector<uint8_t>{0x1C, 2, 120, 0, 5}));

  std::vector<uint8_t> bare = list.SaveToBuffer(false);
  ASSERT_EQ(bare.size(), 18u);
  EXPECT_EQ(std::vector<uint8_t>(bare.begin(), bare.begin() + 7),
            (std::vector<uint8_t>{0x1C, 2, 0, 0, 2, 0, 2}));
  EXPECT_EQ(bare[17], 0);  // pad byte

  TLxIPTCInfoList back;
  ASSERT_TRUE(back.LoadFromBuffer(ps.data(), int64_t(ps.size())));
  EXPECT_FALSE(back.UserChanged);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back.RecordNumber(0), 2);
  EXPECT_EQ(back.DatasetNumber(0), 120);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.RecordData(0)), 5), "hello");

  // The bare form reads back with its record-version dataset.
  ASSERT_TRUE(back.LoadFromBuffer(bare.data(), int64_t(bare.size())));
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.DatasetNumber(0), 0);
  EXPECT_EQ(back.DatasetNumber(1), 120);
}

TEST(IptcList, ExtendedLengthAndSkippedRecords) {
  TLxIPTCInfoList list;
  std::vector<uint8_t> big(40000, 'x');
  list.AddRecord(2, 25, int32_t(big.size()), big.data());
  std::vector<uint8_t> bare = list.SaveToBuffer(false);
  ASSERT_GE(bare.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(bare.begin() + 7, bare.begin() + 16),
            (std::vector<uint8_t>{0x1C, 2, 25, 0x80, 0x04, 0x00, 0x00, 0x9C, 0x40}));
  TLxIPTCInfoList back;
  ASSERT_TRUE(back.LoadFromBuffer(bare.data(), int64_t(bare.size())));
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.RecordLength(1), 40000);

  // Record 2:00 and empty records are never written; the total then stays 0.
  TLxIPTCInfoList version;
  version.AddRecord(2, 0, 2, "\0\2");
  version.AddRecord(2, 5, 0, nullptr);
  std::vector<uint8_t> ps = version.SaveToBuffer(true);
  ASSERT_EQ(ps.size(), 26u);
  EXPECT_EQ(ps[25], 0);
  std::vector<uint8_t> b = version.SaveToBuffer(false);
  EXPECT_EQ(b.size(), 8u);  // header plus pad
}

TEST(IptcList, ResourceSizeEndingIn1CAndMalformedData) {
  // Resource size 28 (00 00 00 1C) stands just before the first dataset.
  std::vector<uint8_t> data = Bytes(std::string("Photoshop 3.0\0008BIM\x04\x04\0\0\0\0\0\x1C", 26));
  data.insert(data.end(), {0x1C, 2, 5, 0, 3, 'a', 'b', 'c'});
  TLxIPTCInfoList list;
  ASSERT_TRUE(list.LoadFromBuffer(data.data(), int64_t(data.size())));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.DatasetNumber(0), 5);

  // A dataset running past the end stops the scan and keeps what was read.
  data.insert(data.end(), {0x1C, 2, 6, 0x7F, 0xFF, 'z'});
  ASSERT_TRUE(list.LoadFromBuffer(data.data(), int64_t(data.size())));
  EXPECT_EQ(list.Count(), 1);
  // An extended length that is cut off, and a negative extended length (taken as its
  // absolute value, which then runs past the end).
  std::vector<uint8_t> cut = {0x1C, 2, 7, 0x80, 0x04, 0xFF};
  EXPECT_FALSE(list.LoadFromBuffer(cut.data(), int64_t(cut.size())));
  std::vector<uint8_t> neg = {0x1C, 2, 7, 0x80, 0x04, 0x80, 0, 0, 0};
  EXPECT_FALSE(list.LoadFromBuffer(neg.data(), int64_t(neg.size())));
  // An empty buffer clears the list and leaves UserChanged set.
  EXPECT_FALSE(list.LoadFromBuffer(nullptr, 0));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_TRUE(list.UserChanged);

  TLxIPTCInfoList copy;
  list.AddRecord(1, 90, 3, "abc");
  copy.Assign(list);
  EXPECT_EQ(copy.Count(), 1);
  EXPECT_TRUE(copy.UserChanged);
}

TEST(IptcList, ResourceSizeWithA1CByteInside) {
  // 7173 bytes of datasets: the size field reads 00 00 1C 05. Scanning for the first 0x1C
  // would take the size for a dataset; the records read back as they were written.
  TLxIPTCInfoList list;
  std::vector<uint8_t> text(7173 - 5, 'a');
  list.AddRecord(2, 120, int32_t(text.size()), text.data());
  std::vector<uint8_t> ps = list.SaveToBuffer(true);
  ASSERT_EQ(ps[24], 0x1C);
  ASSERT_EQ(ps[25], 0x05);
  TLxIPTCInfoList back;
  ASSERT_TRUE(back.LoadFromBuffer(ps.data(), int64_t(ps.size())));
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back.DatasetNumber(0), 120);
  EXPECT_EQ(back.RecordLength(0), int32_t(text.size()));
}

TEST(Xmp, BlockRoundTrip) {
  std::vector<uint8_t> block = BuildXmpBlock("<x:xmpmeta/>");
  ASSERT_EQ(block.size(), 29u + 12u);
  EXPECT_EQ(block[28], 0);
  int64_t n = 0;
  const char* text = IsXmpBlock(block.data(), int64_t(block.size()), &n);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text, size_t(n)), "<x:xmpmeta/>");

  EXPECT_EQ(IsXmpBlock(block.data(), 29), nullptr);  // shorter than 30 bytes
  std::vector<uint8_t> other = block;
  other[5] = 'X';
  EXPECT_EQ(IsXmpBlock(other.data(), int64_t(other.size())), nullptr);
  // No zero byte anywhere: no text can be found.
  std::vector<uint8_t> noZero(kXmpNamespace.begin(), kXmpNamespace.end());
  noZero.insert(noZero.end(), {'a', 'b'});
  EXPECT_EQ(IsXmpBlock(noZero.data(), int64_t(noZero.size())), nullptr);
}

}  // namespace
}  // namespace lumenax
