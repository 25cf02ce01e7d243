// Helpers of the import tests. DbfBuilder builds small dBase tables in memory
// (32-byte prolog, 32-byte descriptors, 0x0D terminator, records, 0x1A end
// mark); every header value can be overridden to make damaged tables.
// TempDir is a scratch directory removed with everything in it.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::test {

struct DbfFieldSpec {
  std::string name;  // raw bytes, up to 11 (no NUL added when 11)
  char type = 'C';
  std::uint8_t length = 10;
  std::uint8_t decimals = 0;
};

struct DbfBuilder {
  std::uint8_t version = 0x03;
  std::uint8_t year = 126, month = 12, day = 6;
  std::uint8_t languageDriver = 0;  // offset 29
  std::vector<DbfFieldSpec> fields;
  std::vector<std::string> records;  // flag byte + field bytes, padded to the record length
  std::optional<std::uint32_t> recordCount;
  std::optional<std::uint16_t> headerLength;
  std::optional<std::uint16_t> recordLength;

  std::uint16_t naturalRecordLength() const {
    unsigned n = 1;
    for (const auto& f : fields) n += f.length;
    return static_cast<std::uint16_t>(n);
  }

  // Appends a record from field values (each padded with blanks to its length).
  DbfBuilder& add(const std::vector<std::string>& values, bool deleted = false) {
    std::string r(1, deleted ? '*' : ' ');
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string v = i < values.size() ? values[i] : std::string();
      v.resize(fields[i].length, ' ');
      r += v;
    }
    records.push_back(r);
    return *this;
  }

  std::string build() const {
    const std::uint16_t rl = recordLength.value_or(naturalRecordLength());
    const std::uint16_t hl =
        headerLength.value_or(static_cast<std::uint16_t>(32 + 32 * fields.size() + 1));
    const std::uint32_t rc = recordCount.value_or(static_cast<std::uint32_t>(records.size()));
    std::string out = {static_cast<char>(version), static_cast<char>(year),
                       static_cast<char>(month), static_cast<char>(day)};
    const auto le = [&out](std::uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    le(rc, 4);
    le(hl, 2);
    le(rl, 2);
    out.append(20, '\0');
    out[29] = static_cast<char>(languageDriver);
    for (const auto& f : fields) {
      std::string d(32, '\0');
      const std::size_t n = f.name.size() < 11 ? f.name.size() : 11;
      d.replace(0, n, f.name, 0, n);
      d[11] = f.type;
      d[16] = static_cast<char>(f.length);
      d[17] = static_cast<char>(f.decimals);
      out += d;
    }
    out += '\x0D';
    out.resize(hl < 32 ? 32 : hl, '\0');  // pad or cut to the declared length; the prolog stays
    for (std::string rec : records) {
      rec.resize(rl, ' ');
      out += rec;
    }
    return out + '\x1A';
  }
};

struct TempDir {
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "orvane-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  // Writes `bytes` to the file `name` in the directory and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path / name, std::ios::binary) << bytes;
    return (path / name).string();
  }
  std::filesystem::path path;
};

}  // namespace orvane::test
