// Small dBase tables built in memory, for tests and benchmarks: a 32-byte
// prolog, 32-byte field descriptors, the 0x0D terminator, the records and the
// 0x1A end mark. Every header value can be overridden to make damaged tables.
#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace orvane::testing {

struct DbfFieldSpec {
  std::string name;  // raw bytes, up to 11 (no NUL added when 11)
  char type = 'C';
  std::uint8_t length = 10;
};

struct DbfBuilder {
  std::uint8_t version = 0x03;
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
    std::string out = {static_cast<char>(version), 126, 12, 6};  // last update 2026-12-06
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

  std::string writeFile(const std::string& path) const {
    std::ofstream(path, std::ios::binary) << build();
    return path;
  }
};

}  // namespace orvane::testing
