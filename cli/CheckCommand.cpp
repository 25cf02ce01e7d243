// orvane-cli check: validates addresses given on the command line or in a
// list file, one record per address on standard output or into a file. With
// --resume, a run killed half-way goes on where it stopped: the addresses its
// output file already answers are passed over and the file is appended to.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/AddressInput.h"
#include "cli/Commands.h"
#include "cli/Records.h"
#include "cli/Validation.h"
#include "core/ProjectFile.h"
#include "core/Text.h"

namespace orvane::cli {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The list's non-blank lines in order, as AddressInput reads them.
bool forEachListLine(const std::string& path, const std::function<bool(std::string_view)>& each) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trimBlanks(line).empty()) continue;
    if (!each(line)) return true;
  }
  return true;
}

// What an earlier run's output answers: an index per record; the file is cut
// back to its last complete record (a killed run's half-written line is done
// again). Each record must answer the list's line of its number with that
// line's text. False (message printed) when the file cannot be used.
bool readAnswered(const std::string& output, const std::string& list, std::vector<bool>& answered) {
  std::ifstream in(output, std::ios::binary);
  if (!in) return true;  // nothing yet
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  const std::size_t complete = all.rfind('\n') == std::string::npos ? 0 : all.rfind('\n') + 1;
  if (complete < all.size()) {
    if (::truncate(output.c_str(), static_cast<off_t>(complete)) != 0) {
      std::perror(("orvane-cli check: " + output).c_str());
      return false;
    }
    all.resize(complete);
  }
  // The index and text each record answers, by index.
  std::vector<std::pair<std::size_t, std::string>> records;
  std::size_t lineNumber = 0;
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\n', start);
    ++lineNumber;
    RecordFields r;
    if (!parseRecord(std::string_view(all).substr(start, end - start), r)) {
      std::fprintf(stderr, "orvane-cli check: line %zu of %s is not a result record\n", lineNumber,
                   output.c_str());
      return false;
    }
    records.emplace_back(r.index, std::move(r.address));
    start = end + 1;
  }
  std::sort(records.begin(), records.end());
  std::size_t next = 0, index = 0;
  bool same = true;
  if (!forEachListLine(list, [&](std::string_view text) {
        while (next < records.size() && records[next].first == index) {
          if (records[next].second != text) {
            std::fprintf(stderr,
                         "orvane-cli check: %s answers line %zu of %s as \"%s\", but that line "
                         "reads \"%.*s\": the output is from another list\n",
                         output.c_str(), index + 1, list.c_str(), records[next].second.c_str(),
                         static_cast<int>(text.size()), text.data());
            same = false;
            return false;
          }
          if (answered.size() <= index) answered.resize(index + 1);
          answered[index] = true;
          ++next;
        }
        ++index;
        return next < records.size();
      })) {
    std::fprintf(stderr, "orvane-cli check: cannot read %s\n", list.c_str());
    return false;
  }
  if (same && next < records.size()) {
    std::fprintf(stderr,
                 "orvane-cli check: %s answers line %zu, but %s has %zu lines: the output is "
                 "from another list\n",
                 output.c_str(), records[next].first + 1, list.c_str(), index);
    return false;
  }
  return same;
}

}  // namespace

int runCheck(std::span<char* const> args) {
  ValidateOptions options;
  std::optional<std::string> list;
  std::optional<std::string> output;
  bool resume = false;
  const std::string about =
      "Validates the addresses given, or those listed in FILE (one per line; - reads\n"
      "standard input), printing each result as it arrives.\n\n" +
      std::string(kValidateAbout);
  CommandSyntax syntax{"check",
                       "check [OPTIONS] ADDRESS...\ncheck [OPTIONS] --list FILE [--output OUT "
                       "[--resume]]",
                       about, validateOptions(options)};
  syntax.options.push_back({"list", 0, "FILE",
                            "read the addresses from FILE, one per line\n(- reads standard input)",
                            "", storeText(list)});
  syntax.options.push_back(
      {"output", 'o', "OUT",
       "write the records to OUT instead of standard\noutput (each record whole on its line)", "",
       storeText(output)});
  syntax.options.push_back({"resume", 0, "",
                            "go on with an earlier run: pass over the\naddresses OUT answers "
                            "(--format jsonl,\n--list FILE) and append to it",
                            "", setFlag(resume)});
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (list && !operands.empty()) return usageError(syntax, "give addresses or --list, not both");
  if (!list && operands.empty()) return usageError(syntax, "no address given");
  if (resume && !output) return usageError(syntax, "--resume needs --output");
  if (resume && options.format != OutputFormat::Jsonl) {
    return usageError(syntax, "--resume needs --format jsonl");
  }
  if (resume && (!list || *list == "-")) return usageError(syntax, "--resume needs --list FILE");

  std::vector<bool> answered;
  if (resume && !readAnswered(*output, *list, answered)) return kExitFailed;
  File out;
  if (output) {
    out.reset(std::fopen(output->c_str(), resume ? "ab" : "wb"));
    if (!out) {
      std::perror(("orvane-cli check: " + *output).c_str());
      return kExitFailed;
    }
  }
  std::FILE* records = out ? out.get() : stdout;
  std::function<bool(std::size_t, const std::string&)> skip;
  if (resume) {
    skip = [&answered](std::size_t index, const std::string&) {
      return index < answered.size() && answered[index];
    };
  }
  if (!list) {
    AddressInput input(std::move(operands));
    return validateInput(input, options, records);
  }
  const int fd = *list == "-" ? STDIN_FILENO : ::open(list->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, (std::string(kProjectCannotOpen) + "\n").c_str(), list->c_str());
    return kExitFailed;
  }
  AddressInput input(fd, *list);
  return validateInput(input, options, records, skip);
}

}  // namespace orvane::cli
