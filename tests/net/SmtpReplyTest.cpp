#include "net/SmtpReply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane::net {
namespace {

struct CodeCase {
  const char* line;
  bool valid;
  int code;
  bool continuation;
};

TEST(SmtpReplyCode, ReadsExactlyThreeDigitsFollowedBySpaceHyphenOrEnd) {
  const CodeCase cases[] = {
      {"250 ok", true, 250, false},
      {"250-first of many", true, 250, true},
      {"250", true, 250, false},
      {"  \t\r\n220 leading blanks skipped", true, 220, false},
      {"554 5.7.1 refused", true, 554, false},
      {"100 lowest", true, 100, false},
      {"599 highest", true, 599, false},
      {"", false, 0, false},
      {"hello there", false, 0, false},
      {"25 two digits", false, 0, false},
      {"2500 four digits", false, 0, false},
      {"250x letter after digits", false, 0, false},
      {"-250 signed", false, 0, false},
      {"+250 signed", false, 0, false},
      {"099 below range", false, 0, false},
      {"600 above range", false, 0, false},
      {"000", false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const SmtpReplyCode code = ReadSmtpReplyCode(c.line);
    EXPECT_EQ(code.valid, c.valid);
    EXPECT_EQ(code.code, c.code);
    EXPECT_EQ(code.continuation, c.continuation);
  }
}

TEST(SmtpReplyCode, ControlBytesBecomeQuestionMarksAndOtherBytesStay) {
  EXPECT_EQ(SanitizeSmtpLine(std::string("220 a\x01"
                                         "b\x1b[31m\x7f\tc\0d",
                                         17)),
            "220 a?b?[31m??c?d");
  EXPECT_EQ(SanitizeSmtpLine("250 gr\xC3\xBC\xC3\x9F"
                             "e"),
            "250 gr\xC3\xBC\xC3\x9F"
            "e");
}

TEST(SmtpAcceptedCodes, EmptyListAcceptsBelow500AndListAcceptsOnlyItsCodes) {
  const SmtpAcceptedCodes none;
  EXPECT_EQ(none.Result(250), 0);
  EXPECT_EQ(none.Result(499), 0);
  EXPECT_EQ(none.Result(500), 500);
  EXPECT_EQ(none.Result(554), 554);
  const SmtpAcceptedCodes rcpt{250, 251};
  EXPECT_EQ(rcpt.Result(250), 0);
  EXPECT_EQ(rcpt.Result(251), 0);
  EXPECT_EQ(rcpt.Result(252), 252);
  EXPECT_EQ(rcpt.Result(550), 550);
  const SmtpAcceptedCodes many{201, 202, 203, 204, 205, 206, 207, 208,
                               209, 210, 211, 212, 213, 214, 215, 216};
  EXPECT_EQ(many.size(), SmtpAcceptedCodes::kMaxCodes);
  EXPECT_EQ(many.Result(215), 0);
  EXPECT_EQ(many.Result(216), 216);  // the sixteenth code does not fit
}

std::vector<std::string> Feed(SmtpReplyAssembler& assembler,
                              const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  std::string line;
  for (const auto& chunk : chunks) {
    EXPECT_EQ(assembler.Append(chunk), chunk.size());
    while (assembler.Next(line) == SmtpReplyAssembler::Status::Line) lines.push_back(line);
  }
  return lines;
}

TEST(SmtpReplyAssembler, LinesSplitAtAnyTwoBoundariesComeOutWholeAndInOrder) {
  const std::string stream = "220-first\r\n220 second\r\n250 ok\r\n";
  const std::vector<std::string> expected = {"220-first", "220 second", "250 ok"};
  for (std::size_t i = 0; i <= stream.size(); ++i) {
    for (std::size_t j = i; j <= stream.size(); ++j) {
      SCOPED_TRACE(std::to_string(i) + "/" + std::to_string(j));
      SmtpReplyAssembler assembler;
      EXPECT_EQ(Feed(assembler, {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}),
                expected);
      EXPECT_EQ(assembler.Held(), 0u);
    }
  }
}

TEST(SmtpReplyAssembler, ByteByByteAndBareCarriageReturns) {
  const std::string stream = "250 a\rb\r\n\r\n250 c\r";
  SmtpReplyAssembler assembler;
  std::vector<std::string> chunks;
  for (char c : stream) chunks.emplace_back(1, c);
  // A CR not followed by LF stays part of the line; an empty line is a line.
  EXPECT_EQ(Feed(assembler, chunks), (std::vector<std::string>{"250 a\rb", ""}));
  EXPECT_EQ(assembler.Held(), 6u);  // "250 c\r" waits for its LF
  EXPECT_EQ(Feed(assembler, {"\n"}), (std::vector<std::string>{"250 c"}));
}

TEST(SmtpReplyAssembler, LongestLineThatFitsStillCompletes) {
  SmtpReplyAssembler assembler;
  const std::string text = "250 " + std::string(SmtpReplyAssembler::kBufferSize - 6, 'x');
  const auto lines = Feed(assembler, {text + "\r\n"});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], text);
}

TEST(SmtpReplyAssembler, FullBufferWithoutLineEndOverflowsOnceAndSwallowsTheRest) {
  for (const std::string& last : {std::string("x"), std::string("\r")}) {
    SmtpReplyAssembler assembler;
    std::string line;
    const std::string flood(SmtpReplyAssembler::kBufferSize - 1, 'x');
    EXPECT_EQ(assembler.Append(flood + last + "\n250 injected\r\n"),
              SmtpReplyAssembler::kBufferSize);
    EXPECT_EQ(assembler.Next(line), SmtpReplyAssembler::Status::Overflow);
    EXPECT_TRUE(assembler.Overflowed());
    EXPECT_EQ(assembler.FreeSpace(), 0u);
    EXPECT_EQ(assembler.Append("\r\n250 injected\r\n"), 0u);
    EXPECT_EQ(assembler.Next(line), SmtpReplyAssembler::Status::NeedMore);
    assembler.Reset();
    EXPECT_EQ(Feed(assembler, {"220 fresh\r\n"}), (std::vector<std::string>{"220 fresh"}));
  }
}

TEST(SmtpReplyAssembler, AppendCopiesOnlyWhatFits) {
  SmtpReplyAssembler assembler;
  const std::string big(SmtpReplyAssembler::kBufferSize + 100, 'y');
  EXPECT_EQ(assembler.Append(big), SmtpReplyAssembler::kBufferSize);
  EXPECT_EQ(assembler.FreeSpace(), 0u);
  EXPECT_EQ(assembler.Held(), SmtpReplyAssembler::kBufferSize);
}

}  // namespace
}  // namespace orvane::net
