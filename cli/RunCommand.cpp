// orvane-cli run: validates a project's checked entries as Start Validation
// does and keeps the results in the project file: saved (atomically) every
// --save-every seconds while the run lasts and once more when it ends, also
// when Ctrl-C, SIGTERM or a closed terminal (SIGHUP) stopped it. When that
// last save fails, the results go to a recovery file (next to the project, or
// in the user's data folder) and the message says where.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <filesystem>
#include <string>

#include "cli/Commands.h"
#include "cli/Validation.h"
#include "core/ProjectFile.h"
#include "core/RecipientList.h"

namespace orvane::cli {

namespace {

// The user's data folder for files the program keeps on its own.
std::filesystem::path dataFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return std::filesystem::path(data) / "Tamsworth" / "Orvane";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/tmp") / ".local" / "share" / "Tamsworth" /
         "Orvane";
}

// Writes `list` somewhere it survives the failed save of `path`; returns where,
// or "" when nowhere would take it.
std::string saveRecovery(const std::string& path, const RecipientList& list) {
  const std::filesystem::path project(path);
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string name = project.stem().string() + ".recovered-" + stamp + ".orp";
  const std::filesystem::path candidates[] = {project.parent_path() / name,
                                              dataFolder() / "recovered" / name};
  for (const auto& candidate : candidates) {
    try {
      // The data folder may not exist yet; the project's own folder is not
      // made again when it went away.
      if (candidate.parent_path() != project.parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(candidate.parent_path(), ignored);
      }
      writeProjectFile(candidate.string(), list);
      return candidate.string();
    } catch (const std::exception&) {
    }
  }
  return {};
}

}  // namespace

int runRun(std::span<char* const> args) {
  ValidateOptions options;
  double saveEvery = 60;
  const std::string about =
      "Validates the project's checked entries as Start Validation does, printing each\n"
      "result as it arrives, and keeps the results in the project.\n\n" +
      std::string(kValidateAbout);
  CommandSyntax syntax{"run", "run [OPTIONS] PROJECT.orp", about, validateOptions(options), 1};
  syntax.options.push_back(
      {"save-every", 0, "SECONDS", "save the project this often while the run lasts", "60",
       [&](std::string_view v) -> std::optional<std::string> {
         const std::string text(v);
         char* end = nullptr;
         saveEvery = std::strtod(text.c_str(), &end);
         if (text.empty() || end != text.c_str() + text.size() || !(saveEvery > 0) ||
             saveEvery > 86400) {
           return "invalid interval '" + text + "' (seconds, more than 0, at most 86400)";
         }
         return std::nullopt;
       }});
  std::vector<std::string> operands;
  if (auto status = parseCommandLine(syntax, args, operands)) return *status;
  if (operands.empty()) return usageError(syntax, "no project given");
  const std::string& path = operands.front();

  RecipientList list;
  try {
    loadProject(path, list);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitFailed;
  }
  // A killed or disconnected run keeps what it validated up to the last
  // checkpoint; a failed checkpoint is reported and the run goes on.
  const auto checkpoint = [&] {
    try {
      saveProject(path, list);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orvane-cli run: could not save the progress: %s\n", e.what());
    }
  };
  bool ran = false;
  int status =
      validateList(list, options, ran, checkpoint, static_cast<std::uint64_t>(saveEvery * 1000.0));
  if (ran) {
    try {
      saveProject(path, list);
    } catch (const std::exception& e) {
      const std::string recovery = saveRecovery(path, list);
      if (recovery.empty()) {
        std::fprintf(stderr, "%s; the results could not be saved anywhere\n", e.what());
      } else {
        std::fprintf(stderr, "%s; the results were saved to %s\n", e.what(), recovery.c_str());
      }
      status = kExitFailed;
    }
  }
  return status;
}

}  // namespace orvane::cli
