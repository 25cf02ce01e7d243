#include "settings/IniStore.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <limits>

#include "settings/UserKey.h"

namespace orvane::settings {
namespace {

QString toQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename T>
void eraseOne(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

int digitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  }
  return value < base ? value : -1;
}

}  // namespace

std::string_view trueWord(TICLanguage language) {
  return language == iclEnglish ? std::string_view("true") : std::string_view("Sim");
}

std::string_view falseWord(TICLanguage language) {
  return language == iclEnglish ? std::string_view("false") : std::string_view("N\xC3\xA3o");
}

std::int32_t textToInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  // Accumulate in 64 bits and stop growing once past the 32-bit range, so a
  // long run of digits can neither overflow nor wrap into a small number.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = digitValue(text[i], base);
    if (digit < 0) break;
    value = std::min(value * base + digit, kLimit);
  }
  if (negative) return static_cast<std::int32_t>(-value);
  return static_cast<std::int32_t>(std::min(value, kLimit - 1));
}

// ---------------------------------------------------------------------------

TINIArquivo::TINIArquivo() = default;

TINIArquivo::~TINIArquivo() {
  for (TINISecao* section : sections_) section->file_ = nullptr;
}

void TINIArquivo::setFileName(std::string_view fileName) {
  fileName_ = fileName;
  key_ = UserKey::open(toQString(fileName_));
}

void TINIArquivo::Apply() {
  for (TINISecao* section : sections_)
    for (TINILinha* line : section->lines_)
      if (line->modified_ && writeValue(section->caption_, line->caption_, line->text_))
        line->modified_ = false;
}

bool TINIArquivo::readValue(std::string_view section, std::string_view name,
                            std::string& text) const {
  if (!key_) return false;
  key_->sync();  // pick up what another process wrote since the key was opened
  key_->beginGroup(toQString(section));
  const QString valueName = toQString(name);
  const bool found = key_->contains(valueName);
  if (found) {
    const QVariant value = key_->value(valueName);
    // An unquoted text with commas, written by hand, comes back as a list.
    const QString stored = value.typeId() == QMetaType::QStringList
                               ? value.toStringList().join(QStringLiteral(", "))
                               : value.toString();
    text = stored.toStdString();
  }
  key_->endGroup();
  return found;
}

bool TINIArquivo::writeValue(std::string_view section, std::string_view name,
                             std::string_view text) {
  if (!key_) return false;
  key_->beginGroup(toQString(section));
  key_->setValue(toQString(name), toQString(text));
  key_->endGroup();
  key_->sync();
  return key_->status() == QSettings::NoError;
}

// ---------------------------------------------------------------------------

TINISecao::TINISecao(std::string_view caption, TINIArquivo* file) : caption_(caption) {
  setArquivoAssociado(file);
}

TINISecao::~TINISecao() {
  for (TINILinha* line : lines_) line->section_ = nullptr;
  if (file_) eraseOne(file_->sections_, this);
}

void TINISecao::setArquivoAssociado(TINIArquivo* file) {
  if (file == file_) return;
  if (file_) eraseOne(file_->sections_, this);
  file_ = file;
  if (file_) file_->sections_.push_back(this);
}

// ---------------------------------------------------------------------------

TINILinha::TINILinha(std::string_view caption, TINISecao* section, std::string_view defaultText)
    : caption_(caption), text_(defaultText) {
  setSecaoAssociada(section);
}

TINILinha::~TINILinha() {
  if (section_) eraseOne(section_->lines_, this);
}

void TINILinha::setSecaoAssociada(TINISecao* section) {
  if (section == section_) return;
  if (section_) eraseOne(section_->lines_, this);
  section_ = section;
  if (section_) section_->lines_.push_back(this);
}

TINIArquivo* TINILinha::file() const {
  return section_ ? section_->file_ : nullptr;
}

void TINILinha::load() const {
  if (loaded_) return;
  const TINIArquivo* owner = file();
  if (!owner || !owner->isOpen()) return;
  // A change made before the store could be read is newer than the stored
  // value: keep it (it is written by Apply or the next change).
  if (!modified_) owner->readValue(section_->caption_, caption_, text_);
  loaded_ = true;
}

const std::string& TINILinha::Text() const {
  load();
  return text_;
}

void TINILinha::setText(std::string_view text) {
  // Compare with the stored text, not with a default that was never checked
  // against the store: otherwise setting the default over a different stored
  // value would write nothing and the next read would bring the old value back.
  load();
  if (text == text_) return;
  text_ = text;
  modified_ = true;
  TINIArquivo* owner = file();
  if (owner && owner->AutoApply() && owner->writeValue(section_->caption_, caption_, text_))
    modified_ = false;
}

std::int32_t TINILinha::AsInteger() const {
  return textToInteger(Text());
}

void TINILinha::setAsInteger(std::int32_t value) {
  setText(std::to_string(value));
}

bool TINILinha::AsBoolean() const {
  const TINIArquivo* owner = file();
  const std::string_view word = trueWord(owner ? owner->Language() : iclPortuguese);
  return toQString(Text()).compare(toQString(word), Qt::CaseInsensitive) == 0;
}

void TINILinha::setAsBoolean(bool value) {
  const TINIArquivo* owner = file();
  const TICLanguage language = owner ? owner->Language() : iclPortuguese;
  setText(value ? trueWord(language) : falseWord(language));
}

}  // namespace orvane::settings
