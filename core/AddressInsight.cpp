#include "core/AddressInsight.h"

#include <system_error>
#include <vector>

namespace orvane {
namespace {

// "a", "a and b", "a, b and c".
std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

AddressInsight AddressInsight::load(const std::filesystem::path& dataDir,
                                    const std::filesystem::path& userDir, const Options& options) {
  AddressInsight insight;
  std::vector<std::string> problems;
  std::error_code ec;
  if (!std::filesystem::is_directory(dataDir, ec)) {
    // One clause for the whole folder rather than one per file.
    std::vector<std::string> flags;
    for (AddressFlag flag : {AddressFlag::Disposable, AddressFlag::Role, AddressFlag::Free}) {
      if (options.flags.has(flag)) flags.emplace_back(flagName(flag));
    }
    std::vector<std::string> off;
    if (!flags.empty())
      off.push_back("the " + joinNames(flags) + (flags.size() > 1 ? " flags" : " flag"));
    if (options.suggestions) off.emplace_back("typo suggestions");
    if (!off.empty()) {
      problems.push_back("the folder " + dataDir.string() + " is missing, so " + joinNames(off) +
                         (off.size() == 1 && flags.size() == 1 ? " is" : " are") + " off");
    }
  } else {
    insight.lists_ =
        DomainLists::load(dataDir, userDir, ListOptions{options.flags, options.toAscii});
    problems = insight.lists_.problems();
    if (options.suggestions) {
      std::string problem = insight.typos_.load(dataDir / kProvidersFile);
      if (!problem.empty()) problems.push_back(std::move(problem));
    }
  }
  if (!problems.empty()) {
    insight.message_ = "Address lists: ";
    for (std::size_t i = 0; i < problems.size(); ++i) {
      if (i > 0) insight.message_ += "; ";
      insight.message_ += problems[i];
    }
    insight.message_ += ".";
  }
  return insight;
}

AddressFlags AddressInsight::flags(std::string_view asciiAddress) const noexcept {
  const std::size_t at = asciiAddress.rfind('@');
  if (at == std::string_view::npos) return {};
  return flags(asciiAddress.substr(0, at), asciiAddress.substr(at + 1));
}

AddressFlags AddressInsight::flags(std::string_view mailbox,
                                   std::string_view asciiDomain) const noexcept {
  AddressFlags result;
  result.set(AddressFlag::Disposable, lists_.isDisposable(asciiDomain));
  result.set(AddressFlag::Role, lists_.isRole(mailbox));
  result.set(AddressFlag::Free, lists_.isFree(asciiDomain));
  return result;
}

}  // namespace orvane
