#include <gtest/gtest.h>
#include <QFile>
#include <QString>
#include <memory>
#include <string>

#include "settings/EngineOptions.h"
#include "settings/Ini.h"
#include "settings/IniStore.h"
#include "tests/settings/TempSettings.h"

namespace orvane::settings {
namespace {

using testing::TempSettings;

class SettingsStore : public ::testing::Test {
 protected:
  QString stored(const char* key) const {
    return temp.programKey()->value(QString::fromLatin1(key)).toString();
  }
  bool has(const char* key) const { return temp.programKey()->contains(QString::fromLatin1(key)); }
  void store(const char* key, const QString& value) const {
    auto settings = temp.programKey();
    settings->setValue(QString::fromLatin1(key), value);
    settings->sync();
  }
  TempSettings temp;
};

// Every change is written at once, where another store reads it.
TEST_F(SettingsStore, DefaultsWithoutTheStoreThenEveryKeyWrittenThroughToItsSection) {
  TINI ini;
  EXPECT_EQ(ini.hostFromDomain(), 1);
  EXPECT_FALSE(ini.maximized());
  EXPECT_FALSE(QFile::exists(temp.programFile()));  // reading the defaults writes nothing

  ini.setConnections(12);
  ini.setTimeOut(9);
  ini.setFrom("a@b.example");
  ini.setHost("mx.example");
  ini.setPrimaryDns("10.0.0.1");
  ini.setSecondaryDns("10.0.0.2");
  ini.setHostFromDomain(0);
  ini.setMaximized(true);
  const std::pair<const char*, const char*> keys[] = {
      {"Connection/Connections", "12"},   {"Connection/TimeOut", "9"},
      {"Connection/From", "a@b.example"}, {"DNS/Host", "mx.example"},
      {"DNS/Primary", "10.0.0.1"},        {"DNS/Secondary", "10.0.0.2"},
      {"DNS/HostFromDomain", "0"},        {"Environment/Maximized", "true"}};
  for (const auto& [key, value] : keys) EXPECT_EQ(stored(key), QString::fromLatin1(value));
}

TEST_F(SettingsStore, TheEngineGetsTheStoredOptionsAsNumbersAndFlags) {
  store("Connection/Connections", QStringLiteral("25"));
  store("Connection/TimeOut", QStringLiteral(" 45s"));
  store("Connection/PerConnection", QStringLiteral("3"));
  store("Connection/DetectCatchAll", QStringLiteral("FALSE"));
  store("DNS/Secondary", QStringLiteral("192.0.2.53"));
  TINI ini;
  const engine::EngineSettings s = readEngineSettings(ini);
  EXPECT_EQ(s.connections, 25);
  EXPECT_EQ(s.timeOut, 45);
  EXPECT_EQ(s.perConnection, 3);
  EXPECT_FALSE(s.detectCatchAll);
  EXPECT_EQ(s.secondaryDns, "192.0.2.53");
}

// Each value is read once, on first use, and held; setting the text it holds
// writes nothing.
TEST_F(SettingsStore, ReadsEachValueOnceAndWritesOnlyChanges) {
  {
    TINI ini;
    ini.setConnections(200);  // the default
    ini.setFrom("");
  }
  EXPECT_FALSE(has("Connection/Connections"));
  EXPECT_FALSE(has("Connection/From"));

  store("Connection/Connections", QStringLiteral("7"));
  TINI ini;
  EXPECT_EQ(ini.connections(), 7);
  store("Connection/Connections", QStringLiteral("9"));
  store("Connection/TimeOut", QStringLiteral("5"));
  EXPECT_EQ(ini.connections(), 7);  // read before the change behind its back
  EXPECT_EQ(ini.timeOut(), 5);      // not read before
  ini.setConnections(7);            // what it holds: nothing is written
  EXPECT_EQ(stored("Connection/Connections"), QStringLiteral("9"));
  ini.setConnections(8);
  EXPECT_EQ(stored("Connection/Connections"), QStringLiteral("8"));

  // Never read before: the default is compared with the stored value, not with itself.
  TINI fresh;
  fresh.setConnections(200);
  EXPECT_EQ(stored("Connection/Connections"), QStringLiteral("200"));
}

TEST_F(SettingsStore, TextsKeepUtf8AndCommas) {
  const std::string from = "Jos\xC3\xA9 <jos\xC3\xA9@exemplo.pt>, outro";
  {
    TINI ini;
    ini.setFrom(from);
    ini.setPrimaryDns("1.1.1.1, 2.2.2.2");
  }
  TINI ini;
  EXPECT_EQ(ini.from(), from);
  EXPECT_EQ(ini.primaryDns(), "1.1.1.1, 2.2.2.2");

  // A value written by hand, which the backend would read as a list.
  QFile file(temp.programFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("[DNS]\nSecondary=10.0.0.1, 10.0.0.2\n");
  file.close();
  EXPECT_EQ(TINI().secondaryDns(), "10.0.0.1, 10.0.0.2");
}

TEST_F(SettingsStore, TextReadsAsTheLeadingWholeNumber) {
  const std::int32_t kMax = 2147483647, kMin = -kMax - 1;
  // clang-format off
  const std::pair<const char*, std::int32_t> cases[] = {
      {"200", 200}, {"\t 3s", 3}, {"$1F", 31}, {"x1f", 31}, {"0X1a", 26}, {"+7", 7},
      {"-$10", -16}, {"$fg", 15}, {"abc", 0}, {"", 0}, {"$", 0}, {"- 5", 0},
      {"2147483647", kMax}, {"99999999999999999999", kMax}, {"-2147483648", kMin},
      {"-99999999999", kMin}};
  // clang-format on
  for (const auto& [text, value] : cases)
    EXPECT_EQ(textToInteger(text), value) << '"' << text << '"';
}

TEST_F(SettingsStore, TypedValuesWriteDecimalAndTheLanguageWords) {
  TINIArquivo file;
  file.setFileName("\\software\\Tamsworth\\Orvane");
  TINISecao section("Environment", &file);
  TINILinha line("Flag", &section, "");
  line.setAsInteger(-15);
  EXPECT_EQ(stored("Environment/Flag"), QStringLiteral("-15"));

  const struct {
    TICLanguage language;
    std::vector<const char*> yes, no;
    const char* writtenYes;
    const char* writtenNo;
  } languages[] = {
      {iclEnglish, {"true", "TRUE"}, {"false", "", "Sim", "1", "yes", " true"}, "true", "false"},
      {iclPortuguese, {"Sim", "SIM", "sim"}, {"true", "N\xC3\xA3o"}, "Sim", "N\xC3\xA3o"}};
  for (const auto& l : languages) {
    file.setLanguage(l.language);
    for (const bool yes : {false, true}) {
      for (const char* text : yes ? l.yes : l.no) {
        line.setText(text);
        EXPECT_EQ(line.AsBoolean(), yes) << text;
      }
    }
    line.setAsBoolean(true);
    EXPECT_EQ(line.Text(), l.writtenYes);
    line.setAsBoolean(false);
    EXPECT_EQ(stored("Environment/Flag"), QString::fromUtf8(l.writtenNo));
  }
}

// Without auto-apply a change is held until Apply writes it.
TEST_F(SettingsStore, ChangesWaitForApply) {
  TINI ini;
  ini.INIArquivo1.setAutoApply(false);
  ini.setHost("helo.example");
  EXPECT_TRUE(ini.ilHost.Modified());
  EXPECT_EQ(ini.host(), "helo.example");
  EXPECT_FALSE(has("DNS/Host"));
  ini.INIArquivo1.Apply();
  EXPECT_FALSE(ini.ilHost.Modified());
  EXPECT_EQ(stored("DNS/Host"), QStringLiteral("helo.example"));
}

TEST_F(SettingsStore, ComponentsMoveBetweenOwnersAndForgetDestroyedOnes) {
  TINIArquivo first;
  TINIArquivo second;
  auto section = std::make_unique<TINISecao>("S", &first);
  TINILinha line("K", section.get(), "");
  section->setArquivoAssociado(&second);
  EXPECT_TRUE(first.sections().empty());
  ASSERT_EQ(second.sections().size(), 1u);

  TINISecao other("T");
  line.setSecaoAssociada(&other);
  EXPECT_TRUE(section->lines().empty());
  ASSERT_EQ(other.lines().size(), 1u);
  line.setSecaoAssociada(section.get());
  EXPECT_TRUE(other.lines().empty());

  section.reset();
  EXPECT_EQ(line.SecaoAssociada(), nullptr);
  EXPECT_TRUE(second.sections().empty());
  auto file = std::make_unique<TINIArquivo>();
  TINISecao orphan("O", file.get());
  file.reset();
  EXPECT_EQ(orphan.ArquivoAssociado(), nullptr);
}

}  // namespace
}  // namespace orvane::settings
