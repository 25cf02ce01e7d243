#include "net/LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::net {
namespace {

using Texts = std::vector<std::string>;

struct Framed {
  Texts pieces;     // what the reads returned, in order
  int tooLong = 0;  // lines cut at the limit
};

// Feeds `input` in two parts split at `split`, hands out every line found
// after each part in reads of at most `readSize` bytes, then closes.
Framed frame(const std::string& input, std::size_t split, const std::string& lineEnd, int limit,
             std::size_t readSize) {
  LineFramer framer;
  framer.setLineEnd(lineEnd);
  framer.setLimit(limit);
  Framed out;
  const auto drain = [&](bool closing) {
    for (LineFramer::Cut cut = framer.scan(closing); cut.found != LineFramer::Found::none;
         cut = framer.scan(closing)) {
      if (cut.found == LineFramer::Found::tooLong) ++out.tooLong;
      framer.markLine(cut.length);
      while (framer.lineLength() > 0) {
        std::string buf(readSize, '\0');
        buf.resize(framer.readLine(buf.data(), buf.size()));
        out.pieces.push_back(buf);
      }
    }
  };
  framer.append(std::string_view(input).substr(0, split));
  drain(false);
  framer.append(std::string_view(input).substr(split));
  drain(false);
  drain(true);
  EXPECT_TRUE(framer.empty());
  return out;
}

TEST(LineFramer, LinesAreTheSameWhereverTheInputIsSplitAndNothingIsLost) {
  const struct {
    std::string input, lineEnd;
    int limit;
    std::size_t readSize;
    Texts pieces;
    int tooLong;
  } cases[] = {
      // Lines, then the tail at close; an empty line is a line.
      {"one\r\n\r\nthree\r\ntail", "\r\n", 64, 100, {"one\r\n", "\r\n", "three\r\n", "tail"}, 0},
      // A line longer than a read comes in pieces, never mixed with the next.
      {"alpha|be|", "|", 100, 3, {"alp", "ha|", "be|"}, 0},
      // Without an end, a line is cut at the limit; one ending there is whole.
      {std::string(20, 'x') + "\r\n", "\r\n", 8, 100, {"xxxxxxxx", "xxxxxxxx", "xxxx\r\n"}, 2},
      {"1234567\n", "\n", 8, 100, {"1234567\n"}, 0},
      // A line end across the limit is cut; no line end: limit and close only.
      {"abcdefg\r\nz", "\r\n", 8, 100, {"abcdefg\r", "\nz"}, 1},
      {"abc", "", 2, 100, {"ab", "c"}, 1},
  };
  for (const auto& c : cases) {
    for (std::size_t split = 0; split <= c.input.size(); ++split) {
      const Framed f = frame(c.input, split, c.lineEnd, c.limit, c.readSize);
      EXPECT_EQ(f.pieces, c.pieces) << c.input << ", split at " << split;
      EXPECT_EQ(f.tooLong, c.tooLong) << c.input << ", split at " << split;
    }
  }
}

}  // namespace
}  // namespace orvane::net
