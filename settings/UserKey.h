// Where the program's settings live: keys under the current user's settings
// root, named by a backslash path such as "\software\Tamsworth\Orvane".
//
// On Windows a key is the registry key of that path under the current user;
// elsewhere the first two names after an optional leading "software" name a
// per-user file (~/.config/Tamsworth/Orvane.conf) and the remaining names are
// groups inside it, so "\software\Tamsworth\Orvane\MRU" is the group "MRU"
// of the same file that holds the options.
//
// Owns nothing beyond the QSettings objects it hands out. User-interface /
// event-loop thread only.
#pragma once

#include <QSettings>
#include <QString>
#include <memory>

namespace orvane::settings {

class UserKey final {
 public:
  UserKey() = delete;

  // Opens the key `keyPath` with its own group as the current group, so that
  // value("x") reads the value "x" of that key and beginGroup("S") enters its
  // subkey "S". Returns nullptr for a path without any name. Nothing is
  // created until something is written.
  static std::unique_ptr<QSettings> open(const QString& keyPath);

  // True when `keyPath` names a key (it has at least one name).
  static bool isValidPath(const QString& keyPath);

  // The folder of the user's own files beside the options (the address lists
  // they add): "~/.config/Tamsworth/Orvane" on Linux (under the test root in
  // tests). Not created.
  static QString userFolder();

  // For tests only: keeps every key as a file under `directory` instead of
  // the user's own settings (an empty directory restores the user's own).
  static void setRootDirectoryForTests(const QString& directory);
};

}  // namespace orvane::settings
