// Builds small dBase tables in memory for the tests: a 32-byte prolog, 32-byte
// descriptors, the 0x0D terminator, the records and the 0x1A end mark. Every
// header value can be overridden to make damaged tables.
#pragma once

#include <cstdint>
#include <optional>
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
    std::string out;
    const std::uint16_t rl = recordLength.value_or(naturalRecordLength());
    const std::uint16_t hl =
        headerLength.value_or(static_cast<std::uint16_t>(32 + 32 * fields.size() + 1));
    const std::uint32_t rc = recordCount.value_or(static_cast<std::uint32_t>(records.size()));
    out += static_cast<char>(version);
    out += static_cast<char>(year);
    out += static_cast<char>(month);
    out += static_cast<char>(day);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((rc >> (8 * i)) & 0xFF);
    out += static_cast<char>(hl & 0xFF);
    out += static_cast<char>(hl >> 8);
    out += static_cast<char>(rl & 0xFF);
    out += static_cast<char>(rl >> 8);
    out.append(20, '\0');
    for (const auto& f : fields) {
      std::string d(32, '\0');
      for (std::size_t k = 0; k < f.name.size() && k < 11; ++k) d[k] = f.name[k];
      d[11] = f.type;
      d[16] = static_cast<char>(f.length);
      d[17] = static_cast<char>(f.decimals);
      out += d;
    }
    out += '\x0D';
    // Pad or cut to the declared header length (the prolog always stays).
    out.resize(hl < 32 ? 32 : hl, '\0');
    for (const auto& r : records) {
      std::string rec = r;
      rec.resize(rl, ' ');
      out += rec;
    }
    out += '\x1A';
    return out;
  }
};

}  // namespace orvane::test
