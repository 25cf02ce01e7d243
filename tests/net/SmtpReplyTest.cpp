#include "net/SmtpReply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::net {
namespace {

TEST(SmtpReplyCode, ReadsExactlyThreeDigitsFollowedBySpaceHyphenOrEnd) {
  const struct {
    const char* line;
    int code;
    bool continuation;
  } valid[] = {{"250 ok", 250, false},     {"250-first of many", 250, true},
               {"250", 250, false},        {"  \t\r\n220 leading blanks", 220, false},
               {"100 lowest", 100, false}, {"599 highest", 599, false}};
  for (const auto& c : valid) {
    const SmtpReplyCode code = readSmtpReplyCode(c.line);
    EXPECT_TRUE(code.valid) << c.line;
    EXPECT_EQ(code.code, c.code) << c.line;
    EXPECT_EQ(code.continuation, c.continuation) << c.line;
  }
  for (const char* line :
       {"", "hello there", "25 two digits", "2500 four digits", "250x letter", "-250 signed",
        "+250 signed", "099 below range", "600 above range", "000"}) {
    const SmtpReplyCode code = readSmtpReplyCode(line);
    EXPECT_FALSE(code.valid || code.continuation || code.code != 0) << line;
  }
}

TEST(SmtpReplyCode, ControlBytesBecomeQuestionMarksAndOtherBytesStay) {
  EXPECT_EQ(sanitizeSmtpLine(std::string("220 a\x01"
                                         "b\x1b[31m\x7f\tc\0d",
                                         17)),
            "220 a?b?[31m??c?d");
  EXPECT_EQ(sanitizeSmtpLine("250 gr\xC3\xBC\xC3\x9F"), "250 gr\xC3\xBC\xC3\x9F");
}

TEST(SmtpAcceptedCodes, EmptyListAcceptsBelow500AndListAcceptsOnlyItsCodes) {
  const SmtpAcceptedCodes none, rcpt{250, 251},
      many{201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216};
  const struct {
    const SmtpAcceptedCodes& list;
    int code, result;
  } cases[] = {{none, 250, 0},  {none, 499, 0},   {none, 500, 500}, {rcpt, 250, 0},
               {rcpt, 251, 0},  {rcpt, 252, 252}, {rcpt, 550, 550}, {many, 215, 0},
               {many, 216, 216}};  // the sixteenth code does not fit
  for (const auto& c : cases) EXPECT_EQ(c.list.Result(c.code), c.result) << c.code;
  EXPECT_EQ(many.size(), SmtpAcceptedCodes::kMaxCodes);
}

std::vector<std::string> feed(SmtpReplyAssembler& assembler,
                              const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  std::string line;
  for (const auto& chunk : chunks) {
    EXPECT_EQ(assembler.append(chunk), chunk.size());
    while (assembler.Next(line) == SmtpReplyAssembler::Status::Line) lines.push_back(line);
  }
  return lines;
}

TEST(SmtpReplyAssembler, LinesSplitAtAnyTwoBoundariesComeOutWholeAndInOrder) {
  const std::string stream = "220-first\r\n220 second\r\n250 ok\r\n";
  for (std::size_t i = 0; i <= stream.size(); ++i) {
    for (std::size_t j = i; j <= stream.size(); ++j) {
      SCOPED_TRACE(std::to_string(i) + "/" + std::to_string(j));
      SmtpReplyAssembler assembler;
      EXPECT_EQ(feed(assembler, {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}),
                (std::vector<std::string>{"220-first", "220 second", "250 ok"}));
      EXPECT_EQ(assembler.held(), 0u);
    }
  }
}

TEST(SmtpReplyAssembler, ByteByByteAndBareCarriageReturns) {
  SmtpReplyAssembler assembler;
  std::vector<std::string> chunks;
  for (char c : std::string("250 a\rb\r\n\r\n250 c\r")) chunks.emplace_back(1, c);
  // A CR not followed by LF stays part of the line; an empty line is a line.
  EXPECT_EQ(feed(assembler, chunks), (std::vector<std::string>{"250 a\rb", ""}));
  EXPECT_EQ(assembler.held(), 6u);  // "250 c\r" waits for its LF
  EXPECT_EQ(feed(assembler, {"\n"}), (std::vector<std::string>{"250 c"}));
}

TEST(SmtpReplyAssembler, TheLongestLineFitsAFullBufferWithoutLineEndOverflowsOnce) {
  SmtpReplyAssembler fits;
  const std::string text = "250 " + std::string(SmtpReplyAssembler::kBufferSize - 6, 'x');
  EXPECT_EQ(feed(fits, {text + "\r\n"}), std::vector<std::string>{text});
  // One byte more: the buffer fills without a line end; all up to the next
  // reset is swallowed.
  for (const std::string& last : {std::string("x"), std::string("\r")}) {
    SmtpReplyAssembler assembler;
    std::string line;
    const std::string flood(SmtpReplyAssembler::kBufferSize - 1, 'x');
    EXPECT_EQ(assembler.append(flood + last + "\n250 injected\r\n"),
              SmtpReplyAssembler::kBufferSize);
    EXPECT_EQ(assembler.Next(line), SmtpReplyAssembler::Status::Overflow);
    EXPECT_TRUE(assembler.overflowed());
    EXPECT_EQ(assembler.freeSpace(), 0u);
    EXPECT_EQ(assembler.append("\r\n250 injected\r\n"), 0u);
    EXPECT_EQ(assembler.Next(line), SmtpReplyAssembler::Status::NeedMore);
    assembler.reset();
    EXPECT_EQ(feed(assembler, {"220 fresh\r\n"}), (std::vector<std::string>{"220 fresh"}));
  }
}

}  // namespace
}  // namespace orvane::net
