#include "platform/IniFile.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/Files.h"
#include "platform/Locale.h"

namespace quellor {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The section name of a "[Name]" line, or false for any other line.
bool SectionOf(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

// Splits a "key=value" line; false for lines without "=" or with an empty key.
bool EntryOf(const std::string& line, std::string* key, std::string* value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  if (key->empty()) return false;
  *value = line.substr(eq + 1);
  return true;
}

}  // namespace

bool ParseIniInteger(const std::string& raw, int32_t* value) {
  std::string t = Trim(raw);
  if (t.empty()) return false;
  bool negative = false;
  size_t i = 0;
  if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
  int base = 10;
  if (t.size() > i + 1 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) return false;
  int64_t v = 0;
  auto [end, ec] = std::from_chars(t.data() + i, t.data() + t.size(), v, base);
  if (ec != std::errc() || end != t.data() + t.size()) return false;
  if (negative) v = -v;
  // Hexadecimal values may use all 32 bits ("0xFFFFFFFF" is -1), as the format always allowed.
  if (base == 16 && !negative && v > std::numeric_limits<int32_t>::max() && v <= 0xFFFFFFFFLL)
    v = static_cast<int32_t>(static_cast<uint32_t>(v));
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool ParseIniFloat(const std::string& raw, char sep, double* value) {
  std::string t = Trim(raw);
  if (t.empty()) return false;
  for (char& c : t) {
    if (c == '.' && sep != '.') return false;  // the other separator does not convert
    if (c == sep) c = '.';
  }
  const char* b = t.data();
  if (*b == '+') ++b;
  double v = 0;
  auto [end, ec] = std::from_chars(b, t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

std::string FormatIniFloat(double value, char sep) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  std::string s = buf;
  for (char& c : s)
    if (c == '.') c = sep;
  return s;
}

TIniFile::TIniFile(std::string fileName) : fileName_(ResolvePathNoCase(fileName)) {}

void TIniFile::Load() const {
  if (loaded_) return;
  std::string bytes;
  lines_.clear();
  if (ReadWholeFile(fileName_, &bytes)) lines_ = SplitLines(bytes);
  loaded_ = true;
}

bool TIniFile::Find(const std::string& section, const std::string& key, std::string* raw) const {
  Load();
  bool inSection = false, seenSection = false;
  std::string name, k, v;
  for (const std::string& line : lines_) {
    if (SectionOf(line, &name)) {
      if (inSection) return false;  // only the first matching section counts
      inSection = !seenSection && EqualsNoCase(name, section);
      seenSection = seenSection || inSection;
      continue;
    }
    if (inSection && EntryOf(line, &k, &v) && EqualsNoCase(k, key)) {
      *raw = v;
      return true;
    }
  }
  return false;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  std::string raw;
  if (!Find(section, key, &raw)) return def;
  std::string v = Trim(raw);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > kMaxValueLength) v.resize(kMaxValueLength);
  return v;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
  std::string raw;
  int32_t v;
  if (!Find(section, key, &raw) || !ParseIniInteger(raw, &v)) return def;
  return v;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key, double def) const {
  std::string raw;
  double v;
  if (!Find(section, key, &raw) ||
      !ParseIniFloat(raw, Locale::Current().decimalSeparator, &v))
    return def;
  return v;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  // Always start from the file as it is now: another program may have changed it.
  loaded_ = false;
  Load();
  std::vector<std::string> lines = lines_;
  std::string entry = key + "=" + value;
  std::string name, k, v;
  bool inSection = false, done = false, seenSection = false;
  size_t insertAt = std::string::npos;
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (SectionOf(lines[i], &name)) {
      if (inSection) break;
      inSection = !seenSection && EqualsNoCase(name, section);
      if (inSection) {
        seenSection = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    if (EntryOf(lines[i], &k, &v) && EqualsNoCase(k, key)) {
      lines[i] = entry;
      done = true;
    } else if (!Trim(lines[i]).empty()) {
      insertAt = i + 1;  // after the last non-blank line of the section
    }
  }
  if (!done) {
    if (insertAt != std::string::npos) {
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    }
  }
  std::swap(lines, lines_);
  try {
    Store();
  } catch (...) {
    std::swap(lines, lines_);  // the file is unchanged, and so is our image of it
    throw;
  }
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
  WriteString(section, key, FormatIniFloat(value, Locale::Current().decimalSeparator));
}

void TIniFile::Store() {
  std::string bytes;
  for (const std::string& line : lines_) {
    bytes += line;
    bytes += "\r\n";
  }
  if (!WriteWholeFile(fileName_, bytes)) throw EIniWriteError("Unable to write to " + fileName_);
}

}  // namespace quellor
