#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "tests/cli/CliRunner.h"

namespace orvane {
namespace {

using testing::runCli;

// Two entries over four columns, one validated, one with a tab in a field.
std::string smallProject(const testing::TempDir& dir) {
  RecipientList list;
  list.addColumn({"Name", 120});
  list.addColumn({"", 50});
  list.addEntry("a@b.c", std::vector<std::string>{"Ann", "x"});
  list.addEntry("\xC3\xA9@x.de", std::vector<std::string>{"B\tC", ""});
  list.entryValidationEnded(0, 0, "", {"250 OK"});
  const std::string path = dir.file("small.orp");
  saveProject(path, list);
  return path;
}

TEST(ShowCommand, PrintsColumnsThenOneLinePerEntry) {
  testing::TempDir dir;
  const auto r = runCli({"show", smallProject(dir)});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Email:120\tResult:290\tName:120\t:50\n"
            "0\t0\ta@b.c\t[0] Valid E-mail Address!\tAnn\tx\n"
            "1\t-1\t\xC3\xA9@x.de\t\tB C\t\n");
}

TEST(ShowCommand, UnreadableFilesPrintTheMessageAndExitWithOne) {
  testing::TempDir dir;
  const std::string whole = testing::readFile(smallProject(dir));
  const std::string missing = dir.file("missing.orp");
  const std::pair<std::string, std::string> cases[] = {
      {missing, "Cannot open file " + missing + "\n"},
      {dir.write("damaged.orp", whole.substr(0, whole.size() / 2)), "Stream read error\n"},
      {dir.write("foreign.orp", "PK\x03\x04 not a project at all"), "Invalid stream format\n"},
  };
  for (const auto& [path, message] : cases) {
    const auto r = runCli({"show", path});
    EXPECT_EQ(r.status, 1) << path;
    EXPECT_EQ(r.out, "") << path;
    EXPECT_EQ(r.err, message);
  }
}

TEST(ShowCommand, HelpAndUsageErrors) {
  const auto help = runCli({"show", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvane-cli show PROJECT.orp\n", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"show"}, {"show", "a.orp", "b.orp"}, {"show", "--verbose"}}) {
    const auto r = runCli(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: orvane-cli show"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace orvane
