// A throwaway settings root for one test: every key opened while it lives is
// a file under a fresh temporary folder, never the user's own settings.
#pragma once

#include <gtest/gtest.h>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <ostream>

#include "settings/UserKey.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace orvane::testing {

class TempSettings {
 public:
  TempSettings() {
    EXPECT_TRUE(dir_.isValid());
    settings::UserKey::setRootDirectoryForTests(dir_.path());
  }
  ~TempSettings() { settings::UserKey::setRootDirectoryForTests(QString()); }
  TempSettings(const TempSettings&) = delete;
  TempSettings& operator=(const TempSettings&) = delete;

  // The file that holds "\software\Tamsworth\Orvane".
  QString programFile() const { return dir_.path() + QStringLiteral("/Tamsworth/Orvane.conf"); }
  // Direct access to that file, behind the store's back.
  std::unique_ptr<QSettings> programKey() const {
    return std::make_unique<QSettings>(programFile(), QSettings::IniFormat);
  }

 private:
  QTemporaryDir dir_;
};

}  // namespace orvane::testing
