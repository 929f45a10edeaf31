// The trailer's length field and where a reader finds the document.

#include <gtest/gtest.h>

#include <vector>

#include "zarntrailer.h"

TEST(TrailerLength, IsLittleEndian) {
  std::uint8_t bytes[4];
  zarn::write_trailer_length(bytes, 60);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{0x3C, 0, 0, 0}));
  zarn::write_trailer_length(bytes, 0x01020304u);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{4, 3, 2, 1}));
  for (std::uint32_t l : {0u, 1u, 60u, 0x80000000u, 0xFFFFFFFFu}) {
    zarn::write_trailer_length(bytes, l);
    EXPECT_EQ(zarn::read_trailer_length(bytes), l);
  }
}

TEST(LocateDocument, AcceptsOnlyLengthsInsideTheBuffer) {
  struct Case {
    std::size_t size;
    std::uint32_t length;
    bool found;
    std::size_t offset;
  };
  const Case cases[] = {
      {164, 60, true, 100},        // payload 100, document 60
      {4, 0, true, 0},             // the trailer alone, empty document
      {10, 6, true, 0},            // the document fills the buffer
      {10, 7, false, 0},           // one byte short
      {10, 0xFFFFFFFFu, false, 0}, // no 32-bit wrap of L + 4
      {10, 0xFFFFFFFDu, false, 0},
  };
  for (const Case &c : cases) {
    std::vector<std::uint8_t> buffer(c.size, 0xAA);
    zarn::write_trailer_length(buffer.data() + c.size - 4, c.length);
    std::uint32_t length = 12345;
    std::size_t offset = 999;
    EXPECT_EQ(zarn::locate_document(buffer.data(), buffer.size(), &length, &offset), c.found)
        << "size " << c.size << " L " << c.length;
    if (c.found) {
      EXPECT_EQ(length, c.length);
      EXPECT_EQ(offset, c.offset);
    } else {
      EXPECT_EQ(length, 12345u);
    }
  }
  // Fewer than four bytes hold no trailer.
  const std::uint8_t small[3] = {0, 0, 0};
  std::uint32_t length = 0;
  std::size_t offset = 0;
  for (std::size_t size = 0; size < 4; size++)
    EXPECT_FALSE(zarn::locate_document(small, size, &length, &offset));
}
