// Settings files in the profile (INI) format.
//
// A text file of lines. "[Name]" opens a section; "key=value" lines belong to the section above
// them. Section and key names compare without regard to case; the first matching section and the
// first matching key in it win. Lines before the first section, lines without "=", blank lines
// and comments are kept as they are and otherwise ignored.
//
// Reading: a missing file, section or key gives the caller's default, and reading never creates
// the file. A string is read without the blanks around it, then without one matching pair of
// enclosing single or double quotes, and is cut to 2047 characters. Integers are decimal, or
// hexadecimal after "0x"/"0X"; booleans are integers (not 0 = true); floats use the user's decimal
// separator. A value that does not convert gives the default.
//
// Writing replaces a key's value where it stands, or adds the key after the last entry of its
// section, or adds the section at the end of the file; a missing file is created. Every write
// stores the whole file at once (a new file renamed over the old one, so a failure never leaves
// half a file), with CR LF line ends; CR, LF and CR LF are all accepted when reading. A file whose
// mode has no write bit, or a folder where the file cannot be written, raises
// EIniWriteError "Unable to write to " + file name.
//
// File names compare without regard to case, as in the program folder: opening "Quellor.Ini"
// finds an existing "quellor.ini".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quellor {

class EIniWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // Longest string value handed out by ReadString.
  static constexpr size_t kMaxValueLength = 2047;

  explicit TIniFile(std::string fileName);

  // The file actually used (the existing file that matches without regard to case, or the name
  // given).
  const std::string& FileName() const { return fileName_; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;
  double ReadFloat(const std::string& section, const std::string& key, double def) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void WriteFloat(const std::string& section, const std::string& key, double value);

 private:
  bool Find(const std::string& section, const std::string& key, std::string* raw) const;
  void Load() const;
  void Store();

  std::string fileName_;
  mutable bool loaded_ = false;
  mutable std::vector<std::string> lines_;
};

// Conversions used by the settings file, exposed for their own tests.
bool ParseIniInteger(const std::string& text, int32_t* value);
bool ParseIniFloat(const std::string& text, char decimalSeparator, double* value);
std::string FormatIniFloat(double value, char decimalSeparator);

}  // namespace quellor
