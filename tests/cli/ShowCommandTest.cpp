#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "tests/cli/CliRunner.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using testing::runCli;

class ShowCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "orvane-show-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  // Two entries over four columns, one validated, one with a tab in a field.
  std::string smallProject() {
    RecipientList list;
    list.addColumn({"Name", 120});
    list.addColumn({"", 50});
    list.addEntry("a@b.c", std::vector<std::string>{"Ann", "x"});
    list.addEntry("\xC3\xA9@x.de", std::vector<std::string>{"B\tC", ""});
    list.entryValidationEnded(0, 0, "", {"250 OK"});
    const std::string path = file("small.orp");
    saveProject(path, list);
    return path;
  }

  fs::path dir_;
};

TEST_F(ShowCommand, PrintsColumnsThenOneLinePerEntry) {
  const auto r = runCli({"show", smallProject()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Email:120\tResult:290\tName:120\t:50\n"
            "0\t0\ta@b.c\t[0] Valid E-mail Address!\tAnn\tx\n"
            "1\t-1\t\xC3\xA9@x.de\t\tB C\t\n");
}

TEST_F(ShowCommand, UnreadableFilesPrintTheMessageAndExitWithOne) {
  const std::string missing = file("missing.orp");
  std::string cut;
  {
    std::ifstream in(smallProject(), std::ios::binary);
    cut.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  cut.resize(cut.size() / 2);
  const std::string damaged = file("damaged.orp");
  std::ofstream(damaged, std::ios::binary) << cut;
  const std::string foreign = file("foreign.orp");
  std::ofstream(foreign, std::ios::binary) << "PK\x03\x04 not a project at all";

  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {missing, "Cannot open file " + missing + "\n"},
      {damaged, "Stream read error\n"},
      {foreign, "Invalid stream format\n"},
  };
  for (const auto& c : cases) {
    const auto r = runCli({"show", c.path});
    EXPECT_EQ(r.status, 1) << c.path;
    EXPECT_EQ(r.out, "") << c.path;
    EXPECT_EQ(r.err, c.message);
  }
}

TEST_F(ShowCommand, HelpAndUsageErrors) {
  const auto help = runCli({"show", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvane-cli show PROJECT.orp\n", 0), 0u) << help.out;
  EXPECT_EQ(help.err, "");

  const std::vector<std::vector<std::string>> usageErrors = {
      {"show"}, {"show", "a.orp", "b.orp"}, {"show", "--verbose"}};
  for (const auto& args : usageErrors) {
    const auto r = runCli(args);
    EXPECT_EQ(r.status, 2) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: orvane-cli show"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace orvane
