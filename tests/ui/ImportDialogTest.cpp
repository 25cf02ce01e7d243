#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <fstream>
#include <functional>
#include <optional>

#include "import/DbfCodePage.h"
#include "import/Importer.h"
#include "tests/import/DbfBuilder.h"
#include "tests/ui/WindowFixture.h"
#include "ui/import/ImportDialog.h"

namespace orvane::ui {
using import::DbfCodePage;
using testing::child;
using testing::texts;
using testing::WindowTest;
namespace {

QStringList headers(const QTableWidget* table) {
  QStringList out;
  for (int c = 0; c < table->columnCount(); ++c) out << table->horizontalHeaderItem(c)->text();
  return out;
}

QStringList row(const QTableWidget* table, int r) {
  QStringList out;
  for (int c = 0; c < table->columnCount(); ++c) {
    out << (table->item(r, c) ? table->item(r, c)->text() : QString());
  }
  return out;
}

// The columns whose header is bold: the one holding the e-mail address.
QList<int> boldColumns(const QTableWidget* table) {
  QList<int> out;
  for (int c = 0; c < table->columnCount(); ++c) {
    if (table->horizontalHeaderItem(c)->font().bold()) out << c;
  }
  return out;
}

class Import : public WindowTest {
 protected:
  QString writeCsv(const QByteArray& bytes) {
    const QString path = dir.filePath(QStringLiteral("list.csv"));
    std::ofstream(path.toStdString(), std::ios::binary) << bytes.toStdString();
    return path;
  }
  // Opens the dialog on `path` from the window; `look` checks it and makes
  // its choices, then the import runs in Replace mode.
  void importReplacing(const QString& path, const std::function<void(TImportDialog*)>& look) {
    prompts.fileNames = {path};
    triggerDialog<TImportDialog>("acImportRecipient", [look](TImportDialog* dialog) {
      look(dialog);
      child<QRadioButton>(dialog, "rbReplace")->setChecked(true);
      child<QPushButton>(dialog, "btImport")->click();
    });
  }
  QTemporaryDir dir;
};

TEST_F(Import, CancelAsksAndKeepsTheRowsAlreadyImported) {
  QByteArray lines;
  for (int i = 0; i < 300000; ++i) lines += "user" + QByteArray::number(i) + "@x.test\n";
  addEntries({"old@x.test"});
  prompts.answers = {Answer::Yes};
  importReplacing(writeCsv(lines), [](TImportDialog* dialog) {
    QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });  // seen during the import
  });
  EXPECT_EQ(lastShown(), QStringLiteral("confirm: ") + QString::fromLatin1(kCancelImport));
  const std::size_t rows = window->list().count();
  EXPECT_GT(rows, 0u);
  EXPECT_LT(rows, 300000u);
  EXPECT_EQ(window->list().entry(0).email(), "user0@x.test");  // replaced, even when cancelled
}

// The import replaces the old entries and columns; the address column is
// found by its header.
TEST_F(Import, StartsOnDetectWhichFindsTheSeparatorForThePreviewAndTheImport) {
  addEntries({"old@x.test"});
  window->list().addColumn(Column{"Old", 50});
  importReplacing(writeCsv("Name;Email\nJan;j@x.org\n"), [](TImportDialog* dialog) {
    auto* separator = child<QComboBox>(dialog, "cbSeparator");
    EXPECT_EQ(separator->currentText(), QStringLiteral("Detect (found: semicolon)"));
    auto* preview = child<QTableWidget>(dialog, "tvPreview");
    EXPECT_EQ(headers(preview).value(0), QStringLiteral("Name"));
    EXPECT_EQ(row(preview, 0), texts({"Jan", "j@x.org"}));
  });
  EXPECT_EQ(prompts.shown.value(0), QStringLiteral("open: Open Recipient List"));
  const RecipientList& list = window->list();
  EXPECT_EQ(list.columnCount(), 3u);
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.entry(0).email(), "j@x.org");
  EXPECT_EQ(list.entry(0).subItem(1), "Jan");
  EXPECT_EQ(list.entry(0).log(), TransactionLog{"-999"});
  EXPECT_TRUE(list.modified());
}

TEST_F(Import, ChoicesRefreshThePreviewAndTheAddressColumn) {
  prompts.fileNames = {writeCsv("Name;Email\nJan;j@x.org\n")};
  triggerDialog<TImportDialog>("acImportRecipient", [](TImportDialog* dialog) {
    auto* preview = child<QTableWidget>(dialog, "tvPreview");
    auto* email = child<QComboBox>(dialog, "cbEmail");
    auto* separator = child<QComboBox>(dialog, "cbSeparator");
    separator->setCurrentIndex(separator->findText(QStringLiteral("Comma")));
    EXPECT_EQ(headers(preview), texts({"Field 1"}));  // read with commas: one field
    EXPECT_EQ(row(preview, 0), texts({"Name;Email"}));

    separator->setCurrentIndex(separator->findText(QStringLiteral("Semicolon")));
    EXPECT_EQ(headers(preview), texts({"Name", "Email"}));
    EXPECT_EQ(preview->rowCount(), 1);
    EXPECT_EQ(email->currentText(), QStringLiteral("Email"));
    EXPECT_TRUE(child<QRadioButton>(dialog, "rbHeader")->isChecked());
    EXPECT_EQ(boldColumns(preview), QList<int>{1});

    child<QRadioButton>(dialog, "rbData")->setChecked(true);
    EXPECT_EQ(headers(preview), texts({"Field 1", "Field 2"}));
    EXPECT_EQ(row(preview, 0), texts({"Name", "Email"}));
    email->setCurrentIndex(0);
    EXPECT_EQ(boldColumns(preview), QList<int>{0});
    child<QPushButton>(dialog, "btCancel")->click();
  });
  EXPECT_EQ(window->list().count(), 0u);
}

TEST_F(Import, EmptyAndBinaryFilesAreRefusedBeforeTheDialogAndTheProjectStaysAsItWas) {
  addEntries({"kept@x.test"});
  window->list().setModified(false);
  QByteArray controls;
  for (int i = 0; i < 300; ++i) controls += "\x01\x02\x1B" + QByteArray::number(i % 10);
  const struct {
    const char* name;
    QByteArray bytes;
    bool binary;  // else: no rows
  } cases[] = {
      {"empty", QByteArray(), false},
      {"blank lines", QByteArray(" \r\n\t\n\n"), false},
      {"NUL bytes", QByteArray("PK\x03\x04\x14\x00\x06\x00ok@x.test\n", 18), true},
      {"control bytes", controls, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = writeCsv(c.bytes);
    prompts.fileNames = {path};
    bool opened = false;
    QTimer watch;  // closes a dialog that should not have opened
    QObject::connect(&watch, &QTimer::timeout, [&opened] {
      if (auto* dialog = qobject_cast<TImportDialog*>(QApplication::activeModalWidget())) {
        opened = true;
        dialog->reject();
      }
    });
    watch.start(5);
    trigger("acImportRecipient");
    EXPECT_FALSE(opened);
    EXPECT_EQ(lastShown(), c.binary ? QStringLiteral("error: ") + path +
                                          QString::fromLatin1(import::kNotText.data())
                                    : QStringLiteral("error: The file holds no rows"));
    EXPECT_EQ(window->list().count(), 1u);
    EXPECT_FALSE(window->list().modified());
  }
}

TEST_F(Import, Utf16WithByteOrderMarkIsFoundAndKeptWhenAnotherReadingFails) {
  QByteArray bytes("\xFF\xFE");
  for (const QChar ch : QStringLiteral("Name,Email\nBj\u00F6rn,b@x.org\n")) {
    bytes += static_cast<char>(ch.unicode() & 0xFF);
    bytes += static_cast<char>(ch.unicode() >> 8);
  }
  const QString path = writeCsv(bytes);
  importReplacing(path, [this, &path](TImportDialog* dialog) {
    auto* encoding = child<QComboBox>(dialog, "cbEncoding");
    EXPECT_EQ(encoding->currentText(), QStringLiteral("UTF-16 LE (found)"));
    EXPECT_EQ(row(child<QTableWidget>(dialog, "tvPreview"), 0), texts({"Bj\xC3\xB6rn", "b@x.org"}));
    // The file is gone: another encoding cannot be read, the one in use stays.
    ASSERT_TRUE(QFile::remove(path));
    encoding->setCurrentIndex(encoding->findText(QStringLiteral("UTF-8")));
    EXPECT_TRUE(lastShown().startsWith(QStringLiteral("error: "))) << lastShown().toStdString();
    EXPECT_EQ(encoding->currentText(), QStringLiteral("UTF-16 LE (found)"));
  });
  const RecipientList& list = window->list();
  ASSERT_EQ(list.count(), 1u);
  EXPECT_EQ(list.entry(0).email(), "b@x.org");
  EXPECT_EQ(list.entry(0).subItem(1), "Bj\xC3\xB6rn");
}

TEST_F(Import, TablesShowWhereTheirCodePageCameFromAndReadTheirNamesInIt) {
  const struct {
    std::uint8_t languageByte;
    const char* cpg;   // the .cpg file beside the table, or none
    const char* name;  // as stored
    const char* origin;
    std::optional<DbfCodePage> chosen;
    const char* shown;  // UTF-8
  } cases[] = {
      {0x03, nullptr, "Bj\xF6rn \xC5s", "language byte", std::nullopt, "Bj\xC3\xB6rn \xC3\x85s"},
      {0x00, nullptr, "Bj\xC3\xB6rn \xC3\x85s", "text is UTF-8", std::nullopt,
       "Bj\xC3\xB6rn \xC3\x85s"},
      // The UTF-8 bytes read one by one as Windows-1252 letters.
      {0x00, "UTF-8", "Bj\xC3\xB6rn \xC3\x85s", ".cpg file", DbfCodePage::Windows1252,
       "Bj\xC3\x83\xC2\xB6rn \xC3\x83\xE2\x80\xA6s"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin);
    orvane::testing::DbfBuilder table;
    table.languageDriver = c.languageByte;
    table.fields = {{"name", 'C', 20}, {"email", 'C', 30}};
    table.add({c.name, "bjoern@example.com"}).add({"Anna", "anna@example.com"});
    const std::string base = dir.filePath(QStringLiteral("t%1").arg(++n)).toStdString();
    table.writeFile(base + ".dbf");
    if (c.cpg != nullptr) std::ofstream(base + ".cpg") << c.cpg;
    importReplacing(QString::fromStdString(base + ".dbf"), [&c](TImportDialog* dialog) {
      EXPECT_EQ(child<QLabel>(dialog, "lbCodePageOrigin")->text(), QString::fromLatin1(c.origin));
      auto* codePage = child<QComboBox>(dialog, "cbCodePage");
      EXPECT_TRUE(codePage->currentText().endsWith(QStringLiteral(" (found)")));
      if (c.chosen) codePage->setCurrentIndex(codePage->findData(static_cast<int>(*c.chosen)));
      auto* preview = child<QTableWidget>(dialog, "tvPreview");
      EXPECT_EQ(headers(preview), texts({"NAME", "EMAIL"}));
      EXPECT_EQ(row(preview, 0).value(0), QString::fromUtf8(c.shown));
    });
    const RecipientList& list = window->list();
    ASSERT_EQ(list.count(), 2u);
    EXPECT_EQ(list.entry(0).email(), "bjoern@example.com");
    EXPECT_EQ(list.entry(0).subItem(1), c.shown);
  }
}

}  // namespace
}  // namespace orvane::ui
