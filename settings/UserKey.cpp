#include "settings/UserKey.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

namespace orvane::settings {
namespace {

QString& testRoot() {
  static QString root;
  return root;
}

QStringList pathNames(const QString& keyPath) {
  QString normal = keyPath;
  normal.replace(QLatin1Char('/'), QLatin1Char('\\'));
  return normal.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

// A per-user file for the first two names (after "software"), groups for
// the rest.
std::unique_ptr<QSettings> openAsFile(QStringList names, const QString& root) {
  if (names.size() > 1 &&
      names.front().compare(QLatin1String("software"), Qt::CaseInsensitive) == 0)
    names.removeFirst();
  const qsizetype fileNames = names.size() < 2 ? names.size() : 2;
  const QString relative = names.mid(0, fileNames).join(QLatin1Char('/'));
  const QString fileName = root + QLatin1Char('/') + relative + QStringLiteral(".conf");
  QDir().mkpath(fileName.section(QLatin1Char('/'), 0, -2));
  auto key = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
  for (qsizetype i = fileNames; i < names.size(); ++i) key->beginGroup(names[i]);
  return key;
}

}  // namespace

bool UserKey::isValidPath(const QString& keyPath) {
  return !pathNames(keyPath).isEmpty();
}

std::unique_ptr<QSettings> UserKey::open(const QString& keyPath) {
  const QStringList names = pathNames(keyPath);
  if (names.isEmpty()) return nullptr;
  if (!testRoot().isEmpty()) return openAsFile(names, testRoot());
#ifdef _WIN32
  return std::make_unique<QSettings>(
      QStringLiteral("HKEY_CURRENT_USER\\") + names.join(QLatin1Char('\\')),
      QSettings::NativeFormat);
#else
  return openAsFile(names, QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
#endif
}

QString UserKey::userFolder() {
  const QString root =
      !testRoot().isEmpty()
          ? testRoot()
          : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return root + QStringLiteral("/Tamsworth/Orvane");
}

void UserKey::setRootDirectoryForTests(const QString& directory) {
  testRoot() = directory;
}

}  // namespace orvane::settings
