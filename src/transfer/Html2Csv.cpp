// Links of a saved web page as new sites; see Html2Csv.h.
#include "transfer/Html2Csv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/DialogFolders.h"
#include "app/Include.h"
#include "app/Ui.h"
#include "platform/Files.h"
#include "platform/Shell.h"

namespace quellor {

namespace {

// Deletes the temporary file when the conversion ends, however it ends.
class TTempFile {
 public:
  explicit TTempFile(std::string path) : path_(std::move(path)) {}
  ~TTempFile() { ::unlink(path_.c_str()); }
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadHtmlFile(const std::string& fileName) {
  struct stat st;
  std::string bytes;
  if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      !ReadWholeFile(fileName, &bytes))
    throw std::runtime_error("Cannot open file " + fileName);
  if (std::memchr(bytes.data(), '\0', bytes.size()))
    throw std::runtime_error(fileName + " is not a text file: it holds NUL characters");
  return bytes;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string LinkToCsvLine(const std::string& line) {
  size_t start = line.find("http:");
  if (start == std::string::npos) start = line.find("ftp:");
  if (start == std::string::npos) return {};
  const size_t end = line.find_first_of("<\" '", start);
  const std::string link =
      line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  // A comma would cut the link into two fields and shift the fixed ones onto the wrong fields
  // (a "FALSE" in LastSent rolls the whole import back): such a link goes in quotes, which the
  // import removes. A link never holds a double quote.
  if (link.find(',') != std::string::npos) return '"' + link + '"' + kLinkLineTail;
  return link + kLinkLineTail;
}

std::string THtml2Csv::Browse() {
  std::optional<std::string> file = ui_.OpenFileDialog(
      "", {{"Html files", "*.htm *.html *.Htm *.Html *.HTM *.HTML"}, {"All files", "*"}},
      DialogFolder(kHtmlFiles));
  if (file) {
    dialogFile_ = *file;
    RememberDialogFolder(kHtmlFiles, *file);
  }
  return dialogFile_;
}

TImportResult THtml2Csv::Convert(const std::string& fileName) {
  std::string csv;
  for (const std::string& line : SplitLines(ReadHtmlFile(fileName))) {
    std::string site = LinkToCsvLine(line);
    if (!site.empty()) csv += site + "\r\n";
  }

  const std::string base = FileBaseName(fileName);
  const std::string folder = TempFolder();
  std::string path;
  try {
    path = CreateUniqueFile(folder, base + "_", ".Csv");
  } catch (const std::exception&) {
    throw std::runtime_error("Cannot create file " + folder + base + ".Csv");
  }
  TTempFile temp(path);
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  bool written = fd >= 0 && WriteAll(fd, csv);
  if (fd >= 0 && ::close(fd) != 0) written = false;
  if (!written) throw std::runtime_error("Cannot create file " + path);
  return ImportSites(target_, ui_, temp.Path());
}

}  // namespace quellor
