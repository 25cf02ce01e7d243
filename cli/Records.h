// The result records of `check` and `run` on standard output, one per
// address, written (and flushed) as each result arrives:
//   text:  the address as given, a tab, "[code] message", a tab, the verdict;
//          with the log, its lines follow, each indented by four blanks;
//   csv:   a header line, then index,address,code,message[,log],verdict (the
//          log lines joined by line breaks in one cell); a text cell is
//          quoted and guarded against spreadsheet formulas as the CSV export
//          does it;
//   jsonl: one object per line with index, address, code, message, verdict
//          (and log, an array of lines); bytes that are not UTF-8 become
//          U+FFFD.
// The verdict always comes last.
//
// Owns nothing but its format. Main thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/RecipientList.h"
#include "core/Verdict.h"
#include "engine/Outcome.h"

namespace orvane::cli {

enum class OutputFormat { Text, Csv, Jsonl };

// A result always has a verdict; one without (none is expected) counts as unknown.
Verdict knownVerdict(const engine::AddressResult& result);

class RecordWriter final {
 public:
  RecordWriter(OutputFormat format, bool withLog) : format_(format), withLog_(withLog) {}
  // The csv header line, once, before the first record; nothing in the
  // other formats.
  void header();
  void write(std::size_t index, std::string_view address, const engine::AddressResult& result,
             const TransactionLog& log);

 private:
  OutputFormat format_;
  bool withLog_;
  bool headerDone_ = false;
};

}  // namespace orvane::cli
