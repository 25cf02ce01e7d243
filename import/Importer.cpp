#include "import/Importer.h"

#include <charconv>
#include <stdexcept>

#include "core/Codepage.h"
#include "core/RecipientList.h"
#include "core/Text.h"

namespace orvane::import {

namespace {

constexpr std::size_t kBatchRows = 8192;

// Collects entries and hands them to the list in batches; whatever is pending
// is handed over when the collector goes away, also when a row failed.
class Batcher {
 public:
  explicit Batcher(RecipientList& list) : list_(list) { batch_.reserve(kBatchRows); }
  ~Batcher() {
    try {
      flush();
    } catch (...) {  // out of memory while handing over: the rows are lost, the list stays sound
    }
  }
  Batcher(const Batcher&) = delete;
  Batcher& operator=(const Batcher&) = delete;

  void add(Entry&& e) {
    batch_.push_back(std::move(e));
    ++added_;
    if (batch_.size() >= kBatchRows) flush();
  }
  void flush() {
    if (batch_.empty()) return;
    list_.appendEntries(std::move(batch_));
    batch_.clear();
    batch_.reserve(kBatchRows);
  }
  std::size_t added() const { return added_; }

 private:
  RecipientList& list_;
  std::vector<Entry> batch_;
  std::size_t added_ = 0;
};

class UpdateBracket {
 public:
  explicit UpdateBracket(RecipientList& list) : list_(list) { list_.beginUpdate(); }
  ~UpdateBracket() { list_.endUpdate(); }
  UpdateBracket(const UpdateBracket&) = delete;
  UpdateBracket& operator=(const UpdateBracket&) = delete;

 private:
  RecipientList& list_;
};

Entry makeEntry(std::string_view email, const std::vector<std::string>& subs) {
  Entry e(email, subs);
  e.checkState = 1;
  e.resultState = kNotValidated;
  e.setLog(TransactionLog{std::string(kImportedLogLine)});
  return e;
}

}  // namespace

Importer::Importer(const std::string& path) : kind_(sourceKindOf(path)), path_(path) {
  if (kind_ == SourceKind::Text) {
    text_ = TextFile::load(path);
    if (!looksLikeText(text_.text())) throw ImportError(path + std::string(kNotText));
    detectedSeparator_ = detectSeparator(text_.text());
  } else {
    table_ = std::make_unique<TTzDbf>();
    table_->setHideDeletedRecs(false);
    table_->setTableLanguage(tlOem);
    table_->setReadOnly(false);
    table_->setExclusive(false);
    table_->setCreateIndex(ciNotFound);
    table_->setDbfFileName(path);
    table_->Open();
  }
  prepare();
}

Importer::~Importer() = default;

void Importer::prepare() {
  fieldNames_.clear();
  if (kind_ == SourceKind::Text) {
    const char sep = separatorChar(separatorInUse());
    RecordReader reader(text_.text(), sep);
    reader.next(fieldNames_);
    progressMaximum_ = countRecords(text_.text(), sep);
  } else {
    progressMaximum_ = table_->recordCount();
    fieldNames_.reserve(table_->fieldCount());
    for (std::size_t i = 0; i < table_->fieldCount(); ++i) {
      fieldNames_.push_back(table_->fieldName(i));
    }
  }
  const EmailFieldGuess guess = detectEmailField(fieldNames_);
  emailField_ = guess.index;
  firstLine_ = guess.firstLine.value_or(FirstLine::Data);
}

bool Importer::holdsNoRows() const {
  return kind_ == SourceKind::Text ? trimBlanks(text_.text()).empty() : table_->recordCount() == 0;
}

Separator Importer::separatorInUse() const {
  return separator_ == Separator::Detect ? detectedSeparator_ : separator_;
}

void Importer::setSeparator(Separator separator) {
  separator_ = separator;
  if (kind_ == SourceKind::Text) prepare();
}

void Importer::setEncoding(TextEncoding encoding) {
  if (kind_ != SourceKind::Text) return;
  TextFile reloaded = TextFile::load(path_, encoding);
  text_ = std::move(reloaded);
  detectedSeparator_ = detectSeparator(text_.text());
  prepare();
}

DbfCodePage Importer::codePage() const {
  return table_ ? table_->codePage() : DbfCodePage::Cp437;
}

DbfCodePage Importer::detectedCodePage() const {
  return table_ ? table_->detectedCodePage() : DbfCodePage::Cp437;
}

DbfCodePageOrigin Importer::codePageOrigin() const {
  return table_ ? table_->codePageOrigin() : DbfCodePageOrigin::TableLanguage;
}

void Importer::setCodePage(DbfCodePage codePage) {
  if (!table_) return;
  table_->setCodePage(codePage);
  prepare();
}

std::vector<std::vector<std::string>> Importer::previewRows(std::size_t n) {
  std::vector<std::vector<std::string>> rows;
  if (kind_ == SourceKind::Text) {
    RecordReader reader(text_.text(), separatorChar(separatorInUse()));
    if (firstLine_ == FirstLine::Header) reader.skip();
    std::vector<std::string> fields;
    while (rows.size() < n && !reader.atEnd()) {
      if (trimBlanks(reader.next(fields)).empty()) continue;
      rows.push_back(fields);
    }
    return rows;
  }
  TTzDbf& t = *table_;
  for (t.First(); rows.size() < n && !t.Eof(); t.Next()) {
    std::vector<std::string>& row = rows.emplace_back(t.fieldCount());
    for (std::size_t i = 0; i < row.size(); ++i) {
      t.appendFieldText(i, row[i]);
      row[i].assign(trimBlanks(row[i]));
    }
  }
  return rows;
}

void Importer::setEmailField(std::size_t index) {
  if (index >= fieldNames_.size() && !(index == 0 && fieldNames_.empty())) {
    throw std::out_of_range("no field number " + std::to_string(index + 1));
  }
  emailField_ = index;
}

bool Importer::selectEmailField(std::string_view nameOrNumber) {
  const std::string wanted = toUpperUtf8(nameOrNumber);
  for (std::size_t i = 0; i < fieldNames_.size(); ++i) {
    if (toUpperUtf8(fieldNames_[i]) == wanted) {
      emailField_ = i;
      return true;
    }
  }
  std::size_t number = 0;
  const char* end = nameOrNumber.data() + nameOrNumber.size();
  const auto [ptr, ec] = std::from_chars(nameOrNumber.data(), end, number);
  if (ec == std::errc() && ptr == end && number >= 1 && number <= fieldNames_.size()) {
    emailField_ = number - 1;
    return true;
  }
  return false;
}

std::vector<int> Importer::buildColumnMap(RecipientList& list) const {
  std::vector<int> map(kMaxColumns, -1);
  std::vector<std::string> upperCaptions;
  upperCaptions.reserve(list.columnCount());
  for (const Column& c : list.columns()) upperCaptions.push_back(toUpperUtf8(c.caption));
  for (std::size_t j = 0; j < fieldNames_.size(); ++j) {
    if (j == emailField_) {
      map[0] = static_cast<int>(j);
      continue;
    }
    const std::string upper = toUpperUtf8(fieldNames_[j]);
    std::size_t column = 0;
    for (std::size_t c = 2; c < upperCaptions.size(); ++c) {
      if (upperCaptions[c] == upper) {
        column = c;
        break;
      }
    }
    if (column == 0) {
      // Columns past the map's reach could only ever hold empty values.
      if (list.columnCount() >= kMaxColumns) continue;
      list.addColumn(Column{fieldNames_[j], kNewColumnWidth});
      upperCaptions.push_back(upper);
      column = list.columnCount() - 1;
    }
    if (column < kMaxColumns) map[column] = static_cast<int>(j);
  }
  return map;
}

std::size_t Importer::run(RecipientList& list) {
  idle_ = false;
  cancelled_ = false;
  list.setModified(true);
  UpdateBracket bracket(list);
  if (replace_) list.clear();
  const std::vector<int> map = buildColumnMap(list);
  std::size_t rows = 0;
  try {
    rows = kind_ == SourceKind::Text ? runText(list, map) : runTable(list, map);
  } catch (...) {
    idle_ = true;
    throw;
  }
  cancelled_ = idle_;
  idle_ = true;
  return rows;
}

std::size_t Importer::runText(RecipientList& list, const std::vector<int>& map) {
  const std::size_t columns = list.columnCount();
  std::vector<std::string> subs(columns > 1 ? columns - 1 : 1);
  std::vector<std::string> fields;
  Batcher batcher(list);
  RecordReader reader(text_.text(), separatorChar(separatorInUse()));
  if (firstLine_ == FirstLine::Header) reader.skip();
  std::uint64_t step = 0;
  while (!reader.atEnd() && !idle_) {
    if (progress_) progress_(++step);
    if (trimBlanks(reader.next(fields)).empty()) continue;
    auto value = [&](int index) -> std::string_view {
      if (index < 0 || static_cast<std::size_t>(index) >= fields.size()) return {};
      return fields[static_cast<std::size_t>(index)];
    };
    for (std::size_t c = 2; c < columns; ++c) {
      subs[c - 1].assign(c < kMaxColumns ? value(map[c]) : std::string_view());
    }
    batcher.add(makeEntry(value(map[0]), subs));
  }
  return batcher.added();
}

std::size_t Importer::runTable(RecipientList& list, const std::vector<int>& map) {
  const std::size_t columns = list.columnCount();
  std::vector<std::string> subs(columns > 1 ? columns - 1 : 1);
  std::string email;
  Batcher batcher(list);
  TTzDbf& t = *table_;
  auto read = [&](int index, std::string& out) {
    out.clear();
    if (index < 0 || static_cast<std::size_t>(index) >= t.fieldCount()) return;
    t.appendFieldText(static_cast<std::size_t>(index), out);
    out.assign(trimBlanks(out));
  };
  std::uint64_t step = 0;
  t.First();
  while (!t.Eof() && !idle_) {
    if (progress_) progress_(++step);
    read(map[0], email);
    for (std::size_t c = 2; c < columns; ++c) {
      if (c < kMaxColumns) {
        read(map[c], subs[c - 1]);
      } else {
        subs[c - 1].clear();
      }
    }
    batcher.add(makeEntry(email, subs));
    t.Next();
  }
  return batcher.added();
}

}  // namespace orvane::import
