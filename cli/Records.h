// The result records of `check` and `run`, one per address, written (and
// flushed) as each result arrives, on standard output or into a file:
//   text:  the address as given, a tab, "[code] message", a tab, the verdict;
//          then, when there are any, a tab and "flags: role, free", a tab and
//          "suggestion: example.com", a tab and "checked: a@b.example" (the
//          address checked, when it is not the entry itself); with the log,
//          its lines follow, each indented by four blanks;
//   csv:   a header line, then index,address,code,message,flags,suggestion,
//          checked[,log],verdict (the log lines joined by line breaks in one
//          cell); a text cell is quoted and guarded against spreadsheet
//          formulas as the CSV export does it;
//   jsonl: one object per line with index, address, code, message, flags (an
//          array of names), suggestion, checked, verdict (and log, an array of
//          lines); bytes that are not UTF-8 become U+FFFD.
// In csv and jsonl the verdict comes after everything but the log.
//
// Owns nothing but its format. Main thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/RecipientList.h"
#include "core/Verdict.h"
#include "engine/Outcome.h"

namespace orvane::cli {

enum class OutputFormat { Text, Csv, Jsonl };

// A result always has a verdict; one without (none is expected) counts as unknown.
Verdict knownVerdict(const engine::AddressResult& result);

class RecordWriter final {
 public:
  // Records go to `out` (standard output by default).
  RecordWriter(OutputFormat format, bool withLog, std::FILE* out = stdout)
      : format_(format), withLog_(withLog), out_(out) {}
  // The csv header line, once, before the first record; nothing in the
  // other formats.
  void header();
  // The record of `result` under `index`; false when it could not be written.
  bool write(std::size_t index, const engine::ValidationResult& result);
  // One record as a line (without writing it).
  std::string line(std::size_t index, const engine::ValidationResult& result) const;

 private:
  OutputFormat format_;
  bool withLog_;
  std::FILE* out_;
  bool headerDone_ = false;
};

// A record of the jsonl format read back (resuming a run, merging results
// into a project).
struct RecordFields {
  std::size_t index = 0;
  std::string address;
  std::int32_t code = 0;
  std::string message;
  std::vector<std::string> flags;
  std::string suggestion;
  std::string checked;
  std::string verdict;
  std::vector<std::string> log;
};

// Reads one jsonl record (one line, without its line break). False for a
// line that is not an object with at least index, address, code, message and
// verdict of the right kinds; other members are ignored.
bool parseRecord(std::string_view line, RecordFields& out);

}  // namespace orvane::cli
