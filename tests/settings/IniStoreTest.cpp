#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QString>
#include <memory>
#include <string>

#include "settings/Ini.h"
#include "settings/IniStore.h"
#include "settings/UserKey.h"
#include "tests/settings/TempSettings.h"

namespace orvane::settings {
namespace {

using testing::TempSettings;

QString stored(const TempSettings& temp, const char* key) {
  return temp.programKey()->value(QString::fromLatin1(key)).toString();
}

void store(const TempSettings& temp, const char* key, const QString& value) {
  auto settings = temp.programKey();
  settings->setValue(QString::fromLatin1(key), value);
  settings->sync();
}

TEST(SettingsStore, DefaultsOnAMachineWithoutTheStore) {
  TempSettings temp;
  TINI ini;
  EXPECT_EQ(ini.connections(), 200);
  EXPECT_EQ(ini.timeOut(), 30);
  EXPECT_EQ(ini.from(), "");
  EXPECT_EQ(ini.host(), "");
  EXPECT_EQ(ini.primaryDns(), "");
  EXPECT_EQ(ini.secondaryDns(), "");
  EXPECT_EQ(ini.hostFromDomain(), 1);
  EXPECT_EQ(ini.isMaximized.Text(), "False");
  EXPECT_FALSE(ini.maximized());
  // Reading the defaults writes nothing.
  EXPECT_FALSE(QFile::exists(temp.programFile()));
}

TEST(SettingsStore, KeepsSectionsAndKeysInThePerUserFile) {
  TempSettings temp;
  {
    TINI ini;
    ini.setConnections(12);
    ini.setTimeOut(9);
    ini.setFrom("a@b.example");
    ini.setHost("mx.example");
    ini.setPrimaryDns("10.0.0.1");
    ini.setSecondaryDns("10.0.0.2");
    ini.setHostFromDomain(0);
    ini.setMaximized(true);
  }
  ASSERT_TRUE(QFile::exists(temp.programFile()));
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("12"));
  EXPECT_EQ(stored(temp, "Connection/TimeOut"), QStringLiteral("9"));
  EXPECT_EQ(stored(temp, "Connection/From"), QStringLiteral("a@b.example"));
  EXPECT_EQ(stored(temp, "DNS/Host"), QStringLiteral("mx.example"));
  EXPECT_EQ(stored(temp, "DNS/Primary"), QStringLiteral("10.0.0.1"));
  EXPECT_EQ(stored(temp, "DNS/Secondary"), QStringLiteral("10.0.0.2"));
  EXPECT_EQ(stored(temp, "DNS/HostFromDomain"), QStringLiteral("0"));
  EXPECT_EQ(stored(temp, "Environment/Maximized"), QStringLiteral("true"));
}

TEST(SettingsStore, ReadsEachValueOnceAndHoldsIt) {
  TempSettings temp;
  store(temp, "Connection/Connections", QStringLiteral("7"));
  TINI ini;
  EXPECT_EQ(ini.connections(), 7);
  EXPECT_TRUE(ini.ilConnections.Loaded());
  store(temp, "Connection/Connections", QStringLiteral("9"));
  EXPECT_EQ(ini.connections(), 7);
  TINI later;
  EXPECT_EQ(later.connections(), 9);
}

TEST(SettingsStore, ValuesNotYetReadComeFromTheStoreWhenFirstUsed) {
  TempSettings temp;
  TINI ini;
  EXPECT_FALSE(ini.ilTimeOut.Loaded());
  store(temp, "Connection/TimeOut", QStringLiteral("5"));
  EXPECT_EQ(ini.timeOut(), 5);
}

TEST(SettingsStore, WritesThroughAtOnce) {
  TempSettings temp;
  TINI writer;
  TINI reader;
  writer.setTimeOut(45);
  writer.setFrom("x@y.example");
  EXPECT_FALSE(writer.ilTimeOut.Modified());
  EXPECT_EQ(reader.timeOut(), 45);
  EXPECT_EQ(reader.from(), "x@y.example");
  EXPECT_EQ(stored(temp, "Connection/TimeOut"), QStringLiteral("45"));
}

TEST(SettingsStore, EqualTextWritesNothing) {
  TempSettings temp;
  {
    TINI ini;
    ini.setConnections(200);  // the default
    ini.setFrom("");
  }
  EXPECT_FALSE(temp.programKey()->contains(QStringLiteral("Connection/Connections")));
  EXPECT_FALSE(temp.programKey()->contains(QStringLiteral("Connection/From")));

  store(temp, "Connection/Connections", QStringLiteral("7"));
  TINI ini;
  EXPECT_EQ(ini.connections(), 7);
  store(temp, "Connection/Connections", QStringLiteral("9"));
  ini.setConnections(7);  // what it holds: nothing is written
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("9"));
  EXPECT_FALSE(ini.ilConnections.Modified());
  ini.setConnections(8);
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("8"));
}

TEST(SettingsStore, SettingTheDefaultOverADifferentStoredValueIsWritten) {
  TempSettings temp;
  store(temp, "Connection/Connections", QStringLiteral("7"));
  TINI ini;
  ini.setConnections(200);  // never read before: compared with the stored 7
  EXPECT_EQ(ini.connections(), 200);
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("200"));
}

TEST(SettingsStore, StoredTimeOutWithTrailingLetterIsUsedAsNumber) {
  TempSettings temp;
  store(temp, "Connection/TimeOut", QStringLiteral(" 45s"));
  TINI ini;
  EXPECT_EQ(ini.timeOut(), 45);
  EXPECT_EQ(ini.ilTimeOut.Text(), " 45s");
}

TEST(SettingsStore, TextsRoundTripAsUtf8AndWithCommas) {
  TempSettings temp;
  const std::string from = "Jos\xC3\xA9 <jos\xC3\xA9@exemplo.pt>, outro";
  {
    TINI ini;
    ini.setFrom(from);
    ini.setPrimaryDns("1.1.1.1, 2.2.2.2");
  }
  TINI ini;
  EXPECT_EQ(ini.from(), from);
  EXPECT_EQ(ini.primaryDns(), "1.1.1.1, 2.2.2.2");
}

TEST(SettingsStore, HandWrittenListValueReadsAsText) {
  TempSettings temp;
  {
    QFile file(temp.programFile());
    ASSERT_TRUE(temp.programKey() != nullptr);  // creates the folder
    QDir().mkpath(temp.path() + QStringLiteral("/Tamsworth"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[DNS]\nPrimary=10.0.0.1, 10.0.0.2\n");
  }
  TINI ini;
  EXPECT_EQ(ini.primaryDns(), "10.0.0.1, 10.0.0.2");
}

struct IntegerCase {
  const char* text;
  std::int32_t value;
};

TEST(SettingsStore, TextReadsAsTheLeadingWholeNumber) {
  const IntegerCase cases[] = {{"200", 200},
                               {" 45s", 45},
                               {"$1F", 31},
                               {"x1f", 31},
                               {"X10", 16},
                               {"0x10", 16},
                               {"0X1a", 26},
                               {"-7", -7},
                               {"+7", 7},
                               {"-$10", -16},
                               {"abc", 0},
                               {"", 0},
                               {"   ", 0},
                               {"-", 0},
                               {"$", 0},
                               {"0x", 0},
                               {"12 34", 12},
                               {"7.9", 7},
                               {"\t 3", 3},
                               {"0", 0},
                               {"007", 7},
                               {"1g", 1},
                               {"$fg", 15},
                               {"- 5", 0},
                               {"2147483647", 2147483647},
                               {"99999999999999999999", 2147483647},
                               {"-2147483648", -2147483647 - 1},
                               {"-99999999999", -2147483647 - 1},
                               {"$FFFFFFFFFF", 2147483647}};
  for (const IntegerCase& c : cases)
    EXPECT_EQ(textToInteger(c.text), c.value) << '"' << c.text << '"';
}

TEST(SettingsStore, AsIntegerWritesDecimal) {
  TempSettings temp;
  TINI ini;
  ini.ilConnections.setAsInteger(-15);
  EXPECT_EQ(ini.ilConnections.Text(), "-15");
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("-15"));
}

TEST(SettingsStore, AsBooleanUsesTheLanguageWords) {
  TempSettings temp;
  TINIArquivo file;
  file.setFileName("\\software\\Tamsworth\\Orvane");
  TINISecao section("Environment", &file);
  TINILinha line("Flag", &section, "");

  file.setLanguage(iclEnglish);
  for (const char* text : {"true", "TRUE", "True"}) {
    line.setText(text);
    EXPECT_TRUE(line.AsBoolean()) << text;
  }
  for (const char* text : {"false", "", "Sim", "1", "yes", " true"}) {
    line.setText(text);
    EXPECT_FALSE(line.AsBoolean()) << text;
  }
  line.setAsBoolean(true);
  EXPECT_EQ(line.Text(), "true");
  line.setAsBoolean(false);
  EXPECT_EQ(line.Text(), "false");

  file.setLanguage(iclPortuguese);
  for (const char* text : {"Sim", "SIM", "sim"}) {
    line.setText(text);
    EXPECT_TRUE(line.AsBoolean()) << text;
  }
  line.setText("true");
  EXPECT_FALSE(line.AsBoolean());
  line.setAsBoolean(false);
  EXPECT_EQ(line.Text(), "N\xC3\xA3o");
  EXPECT_EQ(stored(temp, "Environment/Flag"), QString::fromUtf8("N\xC3\xA3o"));
  line.setAsBoolean(true);
  EXPECT_EQ(line.Text(), "Sim");
}

TEST(SettingsStore, WithoutAutoApplyChangesWaitForApply) {
  TempSettings temp;
  TINI ini;
  ini.INIArquivo1.setAutoApply(false);
  ini.setHost("helo.example");
  EXPECT_TRUE(ini.ilHost.Modified());
  EXPECT_EQ(ini.host(), "helo.example");
  EXPECT_FALSE(temp.programKey()->contains(QStringLiteral("DNS/Host")));
  ini.INIArquivo1.Apply();
  EXPECT_FALSE(ini.ilHost.Modified());
  EXPECT_EQ(stored(temp, "DNS/Host"), QStringLiteral("helo.example"));
}

TEST(SettingsStore, KeyWithoutFileHoldsItsText) {
  TempSettings temp;
  TINISecao section("Connection");
  TINILinha line("Connections", &section, "3");
  EXPECT_EQ(line.AsInteger(), 3);
  line.setText("4");
  EXPECT_EQ(line.Text(), "4");
  EXPECT_TRUE(line.Modified());
  EXPECT_FALSE(QFile::exists(temp.programFile()));

  // Joined to an open file later: the change made before is not lost.
  store(temp, "Connection/Connections", QStringLiteral("8"));
  TINIArquivo file;
  file.setFileName("\\software\\Tamsworth\\Orvane");
  section.setArquivoAssociado(&file);
  EXPECT_EQ(line.Text(), "4");
  file.Apply();
  EXPECT_EQ(stored(temp, "Connection/Connections"), QStringLiteral("4"));
}

TEST(SettingsStore, ComponentsMoveBetweenOwnersAndForgetDestroyedOnes) {
  TINIArquivo first;
  TINIArquivo second;
  auto section = std::make_unique<TINISecao>("S", &first);
  TINILinha line("K", section.get(), "");
  ASSERT_EQ(first.sections().size(), 1u);
  section->setArquivoAssociado(&second);
  EXPECT_TRUE(first.sections().empty());
  ASSERT_EQ(second.sections().size(), 1u);
  EXPECT_EQ(second.sections()[0], section.get());

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

TEST(SettingsStore, FileNameMapsToTheSameFileWithOrWithoutSoftware) {
  EXPECT_FALSE(UserKey::isValidPath(QStringLiteral("\\")));
  EXPECT_TRUE(UserKey::isValidPath(QStringLiteral("\\software\\Tamsworth\\Orvane")));
  TempSettings temp;
  auto direct = UserKey::open(QStringLiteral("Software\\Tamsworth\\Orvane\\MRU"));
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->fileName(), temp.programFile());
  EXPECT_EQ(direct->group(), QStringLiteral("MRU"));
  EXPECT_EQ(UserKey::open(QStringLiteral("\\")), nullptr);
}

}  // namespace
}  // namespace orvane::settings
