// The ".orp" project file: reader and writer of the binary list-view stream
// that holds a project's columns and entries (see docs/project-file.md).
//
// Owns nothing beyond the data it returns. Runs on the caller's thread (the
// one event-loop thread in the programs); a load or save of a large project
// blocks that thread for as long as the disk takes.
//
// Guarantees:
// - A load reads the whole file into new data before anything is replaced: a
//   failed load leaves the list exactly as it was.
// - A save writes a temporary file next to the target, flushes it to disk and
//   renames it over the target: a failed save leaves the previous file intact.
// - The reader trusts no length or count: malformed input fails with one of
//   the messages below, never reads outside the input, and the memory it takes
//   stays proportional to the input's size.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/RecipientList.h"

namespace orvane {

// what() is exactly one of the messages below, with the file name filled in
// where the message has a "%s". kind() tells a reader's failures apart: a
// file that does not begin like a project at all, and a project that ends
// before its data does (truncated, or shrinking while it is read).
class ProjectFileError : public std::runtime_error {
 public:
  enum class Kind { Other, NotAProject, EndsEarly };
  explicit ProjectFileError(const std::string& message, Kind kind = Kind::Other)
      : std::runtime_error(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

inline constexpr std::string_view kProjectCannotOpen = "Cannot open file %s";
inline constexpr std::string_view kProjectCannotCreate = "Cannot create file %s";
inline constexpr std::string_view kProjectReadError = "Stream read error";
inline constexpr std::string_view kProjectInvalidFormat = "Invalid stream format";
inline constexpr std::string_view kProjectInvalidValue = "Invalid property value";

// The file name filter of the open and save dialogs, and the extension.
inline constexpr std::string_view kProjectFilter = "Orvane Projects|*.orp";
inline constexpr std::string_view kProjectExtension = ".orp";

// The list view's placement as written to the file. Nothing reads these back;
// a writer without a window passes the defaults.
struct ProjectLayout {
  std::int32_t left = 0;
  std::int32_t top = 29;
  std::int32_t width = 792;
  std::int32_t height = 473;
};

// The contents of a project file. `columns` is empty when the file's column
// collection was empty (a load then keeps the current columns). Every entry
// has an empty transaction log.
struct ProjectData {
  std::vector<Column> columns;
  std::vector<Entry> entries;
};

// --- in memory ---
std::string serializeProject(std::span<const Column> columns, std::span<const Entry> entries,
                             const ProjectLayout& layout = {});
std::string serializeProject(const RecipientList& list, const ProjectLayout& layout = {});
// Throws ProjectFileError.
ProjectData parseProject(std::string_view bytes);

// --- files (throw ProjectFileError) ---
ProjectData readProjectFile(const std::string& path);
// Atomic: a temporary file in the target's folder, flushed, then renamed.
void writeProjectFile(const std::string& path, std::span<const Column> columns,
                      std::span<const Entry> entries, const ProjectLayout& layout = {});
void writeProjectFile(const std::string& path, const RecipientList& list,
                      const ProjectLayout& layout = {});

// --- the main window's load and save ---
// Replaces the list's columns (unless the file's collection is empty) and
// entries by the file's, clears the modified flag and resets the status bar to
// its bare captions. On failure the list is untouched and the error is thrown.
void loadProject(const std::string& path, RecipientList& list);
// Writes the list; clears the modified flag on success, leaves it on failure.
void saveProject(const std::string& path, RecipientList& list, const ProjectLayout& layout = {});

}  // namespace orvane
