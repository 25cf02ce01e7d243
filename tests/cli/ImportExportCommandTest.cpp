#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "tests/cli/CliRunner.h"

namespace orvane {
namespace {

using testing::runCli;

TEST(ImportExportCommand, ImportThenExportRoundTrip) {
  testing::TempDir dir;
  const std::string csv = dir.write("list.csv",
                                    "Name,E-Mail,Company\n"
                                    "Jane Doe,jane@example.com,\"Acme, Inc.\"\n"
                                    "\n"
                                    "J\xC3\xBCrgen,=evil@example.org,-Globex\n");
  const std::string project = dir.file("p.orp");
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
  EXPECT_EQ(list.entry(3).email(), "gone@example.com");

  r = runCli({"export", project});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string want =
      "Email,Result,Name,Company,BORN,SCORE,VIP,Verdict\r\n"
      "jane@example.com,,Jane Doe,\"Acme, Inc.\",,,,\r\n"
      "'=evil@example.org,,J\xC3\xBCrgen,'-Globex,,,,\r\n"
      "zoe@example.com,,Zo\xC3\xAB \xC3\x9Cnal,,1990-02-14,42.50,True,\r\n"
      "gone@example.com,,Removed Row,,2001-09-09,1.00,False,\r\n"
      "lead@example.com,,Lead Blank,,,,,\r\n";
  EXPECT_EQ(r.out, want);

  const std::string out = dir.file("out.csv");
  r = runCli({"export", project, "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(testing::readFile(out), want);
}

TEST(ImportExportCommand, ReplaceAndOptionsOverrideTheDetection) {
  testing::TempDir dir;
  const std::string project = dir.file("p.orp");
  ASSERT_EQ(runCli({"import", dir.write("a.csv", "Email,Old\na@x.org,1\n"), "-o", project}).status,
            0);
  const auto r = runCli({"import", dir.write("b.txt", "Email,Other\nx@x.org,y@y.org\n"), "-o",
                         project, "--replace", "--email-field", "2", "--first-line", "data"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2\n");
  EXPECT_EQ(runCli({"export", project}).out,
            "Email,Result,Email,Verdict\r\nOther,,Email,\r\ny@y.org,,x@x.org,\r\n");
  // A filter by verdict; every entry here is still unvalidated.
  EXPECT_EQ(runCli({"export", project, "--only", "valid,invalid"}).out,
            "Email,Result,Email,Verdict\r\n");
  EXPECT_EQ(runCli({"export", project, "--only", "unvalidated"}).out,
            runCli({"export", project}).out);
  // The project itself is never overwritten with CSV, under any of its names.
  const auto r2 = runCli({"export", project, "-o", dir.file("./p.orp")});
  EXPECT_EQ(r2.status, 1);
  EXPECT_NE(r2.err.find("is the project being exported"), std::string::npos) << r2.err;
  RecipientList still;
  loadProject(project, still);
  EXPECT_EQ(still.count(), 2u);
}

TEST(ImportExportCommand, DetectedSeparatorSplitsTheFields) {
  testing::TempDir dir;
  const std::string project = dir.file("p.orp");
  const auto r = runCli({"import", dir.write("s.csv", "Name;Email\nJan;j@x.org\n"), "-o", project,
                         "--separator", "detect"});
  ASSERT_EQ(r.status, 0) << r.err;
  RecipientList list;
  loadProject(project, list);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.entry(0).email(), "j@x.org");
}

TEST(ImportExportCommand, FailuresPrintAMessageAndExitWithOne) {
  testing::TempDir dir;
  const std::string project = dir.file("p.orp");
  const std::string damaged = dir.write("bad.dbf", std::string("\x30", 1) + std::string(40, '\0'));
  const std::string csv = dir.write("a.csv", "a@x.org\n");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"import", damaged, "-o", project},
       "Error # 210 (Not a dBASE data file)\r\n" + damaged +
           " is not a dBASE database.(Invalid version byte)+ [USE/OpenDBF]\n"},
      {{"import", csv, "-o", project, "--email-field", "Name"}, "'Name'"},
      {{"import", dir.file("missing.csv"), "-o", project}, "missing.csv"},
      {{"export", dir.file("missing.orp")}, "Cannot open file " + dir.file("missing.orp") + "\n"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = runCli(args);
    EXPECT_EQ(r.status, 1) << args[1];
    // A whole line is the whole message; otherwise a part that must appear.
    if (message.back() == '\n') {
      EXPECT_EQ(r.err, message);
    } else {
      EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(project));  // nothing written on failure
}

TEST(ImportExportCommand, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"import"},
      {"import", "a.csv"},
      {"import", "a.csv", "-o"},
      {"import", "a.csv", "-o", "p.orp", "--first-line", "maybe"},
      {"import", "a.csv", "b.csv", "-o", "p.orp"},
      {"import", "a.csv", "-o", "p.orp", "--fast"},
      {"import", "a.csv", "-o", "p.orp", "--separator", "pipe"},
      {"export"},
      {"export", "p.orp", "-o"},
      {"export", "p.orp", "q.orp"},
      {"export", "p.orp", "--only", "good"},
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
