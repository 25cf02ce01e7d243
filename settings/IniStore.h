// The settings store components: a file (`TINIArquivo`) holds sections
// (`TINISecao`), a section holds keys (`TINILinha`); each key is one named text
// value of its section, kept in the user's settings (see UserKey.h).
//
// A key reads its value once, on its first use, and holds it afterwards; a
// change of its text is written at once while the file's AutoApply is true,
// and a text equal to the held one writes nothing. A key whose section has no
// file, or whose file has no FileName, simply holds its text (its default).
//
// Ownership: components never own each other. A file keeps a list of its
// sections and a section a list of its keys; assigning ArquivoAssociado or
// SecaoAssociada moves a component from the old owner's list to the new one's,
// and a destroyed file or section is forgotten by the components that pointed
// to it. Texts are UTF-8. User-interface / event-loop thread only; a write is a
// small local file or registry write and does not wait on anything else.
#pragma once

#include <QSettings>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::settings {

class TINISecao;
class TINILinha;

enum TICLanguage : std::int32_t {
  iclPortuguese = 0,  // "Sim" / "Não"
  iclEnglish = 1,     // "true" / "false"
};

// The words for true and false in `language`.
std::string_view trueWord(TICLanguage language);
std::string_view falseWord(TICLanguage language);

// A text read as a whole number: leading blanks skipped, an optional "-" or
// "+", then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or
// "0X"; reading stops at the first character that does not belong and keeps
// the value of the digits read so far; no digits give 0. A value beyond the
// 32-bit range reads as the nearest end of that range.
std::int32_t textToInteger(std::string_view text);

class TINIArquivo final {
 public:
  TINIArquivo();
  ~TINIArquivo();
  TINIArquivo(const TINIArquivo&) = delete;
  TINIArquivo& operator=(const TINIArquivo&) = delete;

  // Path of the store's key under the current user's root, e.g.
  // "\software\Tamsworth\Orvane". Assigning it opens that key (creating its
  // place when missing); an empty path closes it.
  const std::string& FileName() const { return fileName_; }
  void setFileName(std::string_view fileName);

  TICLanguage Language() const { return language_; }
  void setLanguage(TICLanguage language) { language_ = language; }

  // When true (the default) every change of a key's text is written at once.
  bool AutoApply() const { return autoApply_; }
  void setAutoApply(bool autoApply) { autoApply_ = autoApply; }

  // Writes every key of every section whose text changed since it was last
  // read or written (the keys changed while AutoApply was false).
  void Apply();

  bool isOpen() const { return key_ != nullptr; }
  const std::vector<TINISecao*>& sections() const { return sections_; }

  // The stored text of `name` in `section`; false (and `text` untouched)
  // when the key is closed or the section or value is missing.
  bool readValue(std::string_view section, std::string_view name, std::string& text) const;
  // Writes `text` as `name` into `section` (created when missing) and makes
  // it durable at once; false when the key is closed or the write failed.
  bool writeValue(std::string_view section, std::string_view name, std::string_view text);

 private:
  friend class TINISecao;

  std::string fileName_;
  TICLanguage language_ = iclPortuguese;
  bool autoApply_ = true;
  std::unique_ptr<QSettings> key_;
  std::vector<TINISecao*> sections_;
};

class TINISecao final {
 public:
  TINISecao() = default;
  explicit TINISecao(std::string_view caption, TINIArquivo* file = nullptr);
  ~TINISecao();
  TINISecao(const TINISecao&) = delete;
  TINISecao& operator=(const TINISecao&) = delete;

  // Section name: a subkey of the file's key.
  const std::string& Caption() const { return caption_; }
  void setCaption(std::string_view caption) { caption_ = caption; }

  TINIArquivo* ArquivoAssociado() const { return file_; }
  void setArquivoAssociado(TINIArquivo* file);

  const std::vector<TINILinha*>& lines() const { return lines_; }

 private:
  friend class TINIArquivo;
  friend class TINILinha;

  std::string caption_;
  TINIArquivo* file_ = nullptr;
  std::vector<TINILinha*> lines_;
};

class TINILinha final {
 public:
  TINILinha() = default;
  // `defaultText` is the key's text until a stored value is read.
  TINILinha(std::string_view caption, TINISecao* section, std::string_view defaultText);
  ~TINILinha();
  TINILinha(const TINILinha&) = delete;
  TINILinha& operator=(const TINILinha&) = delete;

  // Key name: a string value in the section's subkey.
  const std::string& Caption() const { return caption_; }
  void setCaption(std::string_view caption) { caption_ = caption; }

  TINISecao* SecaoAssociada() const { return section_; }
  void setSecaoAssociada(TINISecao* section);

  // The first read loads the stored value (the default when there is none);
  // later reads return the held text.
  const std::string& Text() const;
  // Holds `text`; writes it at once when the file's AutoApply is true. A text
  // equal to the held one (after loading it) writes nothing.
  void setText(std::string_view text);

  // Text read as a whole number (textToInteger); the write stores decimal.
  std::int32_t AsInteger() const;
  void setAsInteger(std::int32_t value);

  // True exactly when Text equals the file's true word, ignoring letter case;
  // the write stores the true or false word. Without a file the words of
  // iclPortuguese apply.
  bool AsBoolean() const;
  void setAsBoolean(bool value);

  bool loaded() const { return loaded_; }
  bool Modified() const { return modified_; }

 private:
  friend class TINISecao;
  friend class TINIArquivo;

  TINIArquivo* file() const;
  void load() const;
  void store();

  std::string caption_;
  TINISecao* section_ = nullptr;
  mutable std::string text_;
  mutable bool loaded_ = false;
  mutable bool modified_ = false;
};

}  // namespace orvane::settings
