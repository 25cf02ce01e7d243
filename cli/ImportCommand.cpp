// orvane-cli import FILE -o PROJECT.orp: imports a text, comma-separated or
// dBase III recipient list into a project with the same component and the same
// detection as the import dialog. Runs on the main thread; no event loop.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "cli/Commands.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "import/Importer.h"
#include "import/TextImport.h"
#include "import/TzDbf.h"

namespace orvane::cli {
namespace {

constexpr const char* kImportUsage =
    "Usage: orvane-cli import FILE -o PROJECT.orp [--replace] [--email-field NAME|NUMBER]\n"
    "                         [--first-line header|data]\n"
    "                         [--separator comma|semicolon|tab|detect]\n"
    "\n"
    "Imports a recipient list into a project: a dBase III table when FILE ends in\n"
    ".dbf (any case), else a text file with one row per line and separated fields\n"
    "(a quoted field may hold separators and line breaks). The project is created\n"
    "when it does not exist and appended to unless --replace is given. Every row\n"
    "becomes a checked, not yet validated entry; the other fields become extra\n"
    "columns.\n"
    "\n"
    "  --email-field NAME|NUMBER  the field holding the address: a field name of\n"
    "                             the first line or table (any case) or a number\n"
    "                             counted from 1 (default: a field named \"email\",\n"
    "                             \"e-mail\" or like \"Email Address\", \"Mail\",\n"
    "                             \"Courriel\", else the first holding \"@\")\n"
    "  --first-line header|data   whether a text file's first line is a header\n"
    "                             (not imported) or data (default: detected)\n"
    "  --separator comma|semicolon|tab|detect\n"
    "                             the character between a text file's fields\n"
    "                             (default comma; detect takes the one of the three\n"
    "                             found most often outside quotes in the first row)\n"
    "  --replace                  remove the project's entries and extra columns first\n"
    "\n"
    "Prints the number of rows imported.\n";

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<Separator> separatorNamed(std::string_view name) {
  if (name == "comma") return Separator::Comma;
  if (name == "semicolon") return Separator::Semicolon;
  if (name == "tab") return Separator::Tab;
  if (name == "detect") return Separator::Detect;
  return std::nullopt;
}

int UsageError(const char* what, const char* arg) {
  return usageError("import", kImportUsage, what, arg);
}

}  // namespace

int runImport(std::span<char* const> args) {
  std::string source;
  std::string project;
  std::string emailField;
  std::string firstLine;
  std::optional<Separator> separator;
  bool replace = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    if (isHelp(a)) {
      std::fputs(kImportUsage, stdout);
      return kExitOk;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    if (a == "-o" || a == "--output") {
      if (!value(project)) return UsageError("missing value after", args[i]);
    } else if (a == "--email-field") {
      if (!value(emailField)) return UsageError("missing value after", args[i]);
    } else if (a == "--first-line") {
      if (!value(firstLine)) return UsageError("missing value after", args[i]);
      if (firstLine != "header" && firstLine != "data") {
        return UsageError("--first-line takes header or data, not", args[i]);
      }
    } else if (a == "--separator") {
      std::string name;
      if (!value(name)) return UsageError("missing value after", args[i]);
      separator = separatorNamed(name);
      if (!separator) {
        return UsageError("--separator takes comma, semicolon, tab or detect, not", args[i]);
      }
    } else if (a == "--replace") {
      replace = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option", args[i]);
    } else if (source.empty()) {
      source = a;
    } else {
      return UsageError("unexpected argument", args[i]);
    }
  }
  if (source.empty()) return UsageError("no file to import", nullptr);
  if (project.empty()) return UsageError("no project given (-o PROJECT.orp)", nullptr);

  try {
    RecipientList list;
    if (exists(project)) loadProject(project, list);
    Importer importer(source);
    if (separator) importer.setSeparator(*separator);
    if (!emailField.empty() && !importer.selectEmailField(emailField)) {
      std::fprintf(stderr, "orvane-cli import: %s has no field '%s'\n", source.c_str(),
                   emailField.c_str());
      return kExitFailed;
    }
    if (!firstLine.empty()) {
      importer.setFirstLine(firstLine == "header" ? FirstLine::Header : FirstLine::Data);
    }
    importer.setReplace(replace);
    const std::size_t rows = importer.run(list);
    saveProject(project, list);
    std::printf("%zu\n", rows);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  if (std::fflush(stdout) != 0) {
    std::perror("orvane-cli import");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace orvane::cli
