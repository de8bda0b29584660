// The Text2Html converter as the program starts it: a real run on files with markup characters,
// non-ASCII text, 8-bit bytes and addresses, its page read back with Python's html.parser.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/Include.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"
#include "transfer/Exports.h"

using quellor::test::ReadFileBytes;
using quellor::test::TempDir;
using quellor::test::WriteFileBytes;

namespace {

const std::string kConverter = std::string(QUELLOR_PROGRAM_DIR) + "/Text2Html";

// Runs a command through the shell; its exit code.
int Shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What html.parser reads from the page: "title: ...", then per list item "li: <text>" and
// "href: <target>" for a link, then "errors: <n>" (tags closed that were not open).
const char* kReader = R"PY(
import sys
from html.parser import HTMLParser
class Reader(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.out, self.errors, self.text = [], [], 0, None
    def handle_starttag(self, tag, attrs):
        if tag in ('meta',): return
        self.stack.append(tag)
        if tag in ('li', 'title'): self.text = ''
        if tag == 'a': self.out.append('href: ' + dict(attrs).get('href', ''))
    def handle_endtag(self, tag):
        if not self.stack or self.stack[-1] != tag: self.errors += 1; return
        self.stack.pop()
        if tag == 'li': self.out.append('li: ' + self.text)
        if tag == 'title': self.out.append('title: ' + self.text)
    def handle_data(self, data):
        if self.text is not None: self.text += data
r = Reader()
r.feed(open(sys.argv[1], encoding='utf-8', errors='strict').read())
r.close()
sys.stdout.write('\n'.join(r.out + ['errors: %d open: %d' % (r.errors, len(r.stack))]) + '\n')
)PY";

std::vector<std::string> ReadPage(const TempDir& dir, const std::string& page) {
  WriteFileBytes(dir.file("reader.py"), kReader);
  EXPECT_EQ(Shell("python3 " + dir.file("reader.py") + " " + page + " > " + dir.file("read.txt")),
            0);
  std::vector<std::string> lines;
  std::string text = ReadFileBytes(dir.file("read.txt")), line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return lines;
}

TEST(Text2Html, EveryLineIsEscapedReadableText) {
  TempDir dir;
  WriteFileBytes(dir.file("in.txt"),
                 "a < b > c & d \"q\" 'r'\r\n"
                 "<script>alert(1)</script>\r\n"
                 "\r\n"
                 "Gr\xC3\xBC\xC3\x9F\x65 \xE6\x97\xA5\xE6\x9C\xAC\n"
                 "caf\xE9 latin-1\r"
                 "http://crackz.test/a?b=1&c=2\r\n"
                 "http://crackz.test/<b>\r\n"
                 "www.serialz.test\r\n"
                 "javascript:alert(1)\r\n"
                 "tab\there, bell\x07 end");
  ASSERT_EQ(Shell(kConverter + " " + dir.file("in.txt") + " " + dir.file("out.html")), 0);
  std::string page = ReadFileBytes(dir.file("out.html"));
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\r\n", 0), 0u);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(ReadPage(dir, dir.file("out.html")),
            (std::vector<std::string>{
                "title: in.txt",
                "li: a < b > c & d \"q\" 'r'",
                "li: <script>alert(1)</script>",
                "li: ",
                "li: Gr\xC3\xBC\xC3\x9F\x65 \xE6\x97\xA5\xE6\x9C\xAC",
                "li: caf\xC3\xA9 latin-1",
                "href: http://crackz.test/a?b=1&c=2",
                "li: http://crackz.test/a?b=1&c=2",
                "li: http://crackz.test/<b>",  // no address: text only
                "href: http://www.serialz.test",
                "li: www.serialz.test",
                "li: javascript:alert(1)",
                "li: tab\there, bell\xEF\xBF\xBD end",
                "errors: 0 open: 0",
            }));
}

TEST(Text2Html, EmptyFileMissingFileAndWrongCommandLine) {
  TempDir dir;
  WriteFileBytes(dir.file("empty.txt"), "");
  ASSERT_EQ(Shell(kConverter + " " + dir.file("empty.txt") + " " + dir.file("e.html")), 0);
  EXPECT_EQ(ReadPage(dir, dir.file("e.html")),
            (std::vector<std::string>{"title: empty.txt", "errors: 0 open: 0"}));
  EXPECT_EQ(
      Shell(kConverter + " " + dir.file("missing.txt") + " " + dir.file("m.html") + " 2>/dev/null"),
      1);
  EXPECT_EQ(Shell(kConverter + " " + dir.file("empty.txt") + " " + dir.file("no/such/x.html") +
                  " 2>/dev/null"),
            1);
  EXPECT_EQ(Shell(kConverter + " only-one 2>/dev/null"), 2);
}

// The program starts the converter it finds beside its executable, detached.
TEST(Text2Html, ExportStartsTheConverterBesideTheProgram) {
  TempDir dir;
  quellor::SetProgramFolder(std::string(QUELLOR_PROGRAM_DIR) + "/");
  EXPECT_EQ(quellor::Text2HtmlProgram(), kConverter);
  WriteFileBytes(dir.file("cracksites.txt"), "http://a.test/\r\n");
  ASSERT_TRUE(quellor::StartText2Html(dir.file("cracksites.txt"), dir.file("cracksites.html")));
  quellor::test::WaitUntil([&] {
    return ReadFileBytes(dir.file("cracksites.html")).find("</html>") != std::string::npos;
  });
  EXPECT_NE(ReadFileBytes(dir.file("cracksites.html")).find("<a href=\"http://a.test/\">"),
            std::string::npos);
  // Without it beside the program, the name is looked up on PATH.
  quellor::SetProgramFolder(dir.path());
  EXPECT_EQ(quellor::Text2HtmlProgram(), "Text2Html");
}

}  // namespace
