// orvane-cli import FILE -o PROJECT.orp: imports a text, comma-separated or
// dBase III recipient list into a project with the same component and the same
// detection as the import dialog. Runs on the main thread; no event loop.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "cli/Commands.h"
#include "cli/Options.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"
#include "import/Importer.h"
#include "import/TextImport.h"

namespace orvane::cli {
using import::FirstLine;
using import::Importer;
using import::Separator;

int runImport(std::span<char* const> args) {
  std::string project;
  std::string emailField;
  std::optional<FirstLine> firstLine;
  std::optional<Separator> separator;
  bool replace = false;
  const CommandSyntax syntax{
      "import",
      "import FILE -o PROJECT.orp [OPTIONS]",
      "Imports a recipient list into a project: a dBase III table when FILE ends in\n"
      ".dbf (any case), else a text file with one row per line and separated fields\n"
      "(a quoted field may hold separators and line breaks). The project is created\n"
      "when it does not exist and appended to unless --replace is given. Every row\n"
      "becomes a checked, not yet validated entry; the other fields become extra\n"
      "columns. Prints the number of rows imported.\n",
      {{"output", 'o', "PROJECT.orp", "the project to import into (required)", "",
        storeText(project)},
       {"email-field", 0, "NAME|NUMBER",
        "the field holding the address: a field name of\n"
        "the first line or table (any case) or a number\ncounted from 1",
        "a field named \"email\" or \"e-mail\", or\nlike \"Email Address\", \"Mail\", "
        "\"Courriel\"; else the\nfirst holding \"@\"",
        storeText(emailField)},
       {"first-line", 0, "header|data",
        "whether a text file's first line is a header\n(not imported) or data", "detected",
        oneOf("first line", {"header", "data"},
              [&](std::size_t i) { firstLine = i == 0 ? FirstLine::Header : FirstLine::Data; })},
       {"separator", 0, "comma|semicolon|tab|detect",
        "the character between a text file's fields;\n"
        "detect takes the one of the three found most\noften outside quotes in the first row",
        "comma",
        oneOf("separator", {"comma", "semicolon", "tab", "detect"},
              [&](std::size_t i) {
                constexpr Separator kByName[] = {Separator::Comma, Separator::Semicolon,
                                                 Separator::Tab, Separator::Detect};
                separator = kByName[i];
              })},
       {"replace", 0, "", "remove the project's entries and extra columns\nfirst", "",
        setFlag(replace)}},
      1};
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (operands.empty()) return usageError(syntax, "no file to import");
  if (project.empty()) return usageError(syntax, "no project given (-o PROJECT.orp)");
  const std::string& source = operands.front();

  try {
    RecipientList list;
    struct stat st {};
    if (::stat(project.c_str(), &st) == 0) loadProject(project, list);
    Importer importer(source);
    if (separator) importer.setSeparator(*separator);
    if (!emailField.empty() && !importer.selectEmailField(emailField)) {
      std::fprintf(stderr, "orvane-cli import: %s has no field '%s'\n", source.c_str(),
                   emailField.c_str());
      return kExitFailed;
    }
    if (firstLine) importer.setFirstLine(*firstLine);
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
