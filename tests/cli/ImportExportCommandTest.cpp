#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "tests/cli/CliRunner.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using testing::runCli;

class ImportExportCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "orvane-impexp-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
    return file(name);
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
};

TEST_F(ImportExportCommand, ImportThenExportRoundTrip) {
  const std::string csv = write("list.csv",
                                "Name,E-Mail,Company\n"
                                "Jane Doe,jane@example.com,\"Acme, Inc.\"\n"
                                "\n"
                                "J\xC3\xBCrgen,=evil@example.org,-Globex\n");
  const std::string project = file("p.orp");
  auto r = runCli({"import", csv, "-o", project});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");

  // Appending a table with a deleted record: every record is imported.
  r = runCli({"import", ORVANE_SOURCE_DIR "/tests/import/data/pydbf_people.dbf", "-o", project,
              "--email-field", "Email"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "3\n");

  RecipientList list;
  loadProject(project, list);
  ASSERT_EQ(list.count(), 5u);
  EXPECT_EQ(list.entry(0).log().size(), 0u);  // logs are never saved
  EXPECT_EQ(list.entry(3).email(), "gone@example.com");

  r = runCli({"export", project});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string want =
      "Email,Result,Name,Company,BORN,SCORE,VIP\r\n"
      "jane@example.com,,Jane Doe,\"Acme, Inc.\",,,\r\n"
      "'=evil@example.org,,J\xC3\xBCrgen,'-Globex,,,\r\n"
      "zoe@example.com,,Zo\xC3\xAB \xC3\x9Cnal,,1990-02-14,42.50,True\r\n"
      "gone@example.com,,Removed Row,,2001-09-09,1.00,False\r\n"
      "lead@example.com,,Lead Blank,,,,\r\n";
  EXPECT_EQ(r.out, want);

  const std::string out = file("out.csv");
  r = runCli({"export", project, "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read(out), want);
}

TEST_F(ImportExportCommand, ReplaceAndOptionsOverrideTheDetection) {
  const std::string project = file("p.orp");
  ASSERT_EQ(runCli({"import", write("a.csv", "Email,Old\na@x.org,1\n"), "-o", project}).status, 0);
  const std::string b = write("b.txt", "Email,Other\nx@x.org,y@y.org\n");
  const auto r = runCli(
      {"import", b, "-o", project, "--replace", "--email-field", "2", "--first-line", "data"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");
  const auto e = runCli({"export", project});
  EXPECT_EQ(e.out, "Email,Result,Email\r\nOther,,Email\r\ny@y.org,,x@x.org\r\n");
}

TEST_F(ImportExportCommand, FailuresPrintAMessageAndExitWithOne) {
  const std::string project = file("p.orp");
  const std::string damaged = write("bad.dbf", std::string("\x30", 1) + std::string(40, '\0'));
  auto r = runCli({"import", damaged, "-o", project});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error # 210 (Not a dBASE data file)\r\n" + damaged +
                       " is not a dBASE database.(Invalid version byte)+ [USE/OpenDBF]\n");
  EXPECT_FALSE(fs::exists(project));  // nothing written on failure

  r = runCli({"import", write("a.csv", "a@x.org\n"), "-o", project, "--email-field", "Name"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("'Name'"), std::string::npos) << r.err;

  r = runCli({"import", file("missing.csv"), "-o", project});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.csv"), std::string::npos) << r.err;

  r = runCli({"export", file("missing.orp")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file " + file("missing.orp") + "\n");
}

TEST_F(ImportExportCommand, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"import"},
      {"import", "a.csv"},
      {"import", "a.csv", "-o"},
      {"import", "a.csv", "-o", "p.orp", "--first-line", "maybe"},
      {"import", "a.csv", "b.csv", "-o", "p.orp"},
      {"import", "a.csv", "-o", "p.orp", "--fast"},
      {"export"},
      {"export", "p.orp", "-o"},
      {"export", "p.orp", "q.orp"},
  };
  for (const auto& args : cases) {
    const auto r = runCli(args);
    EXPECT_EQ(r.status, 2) << args.size() << " " << args.back();
    EXPECT_NE(r.err.find("Usage: orvane-cli " + args[0]), std::string::npos) << r.err;
  }
  const auto help = runCli({"import", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: orvane-cli import", 0), 0u);
}

}  // namespace
}  // namespace orvane
