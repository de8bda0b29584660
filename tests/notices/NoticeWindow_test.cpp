// The notice commands end to end, offscreen: the real main window started on a program folder,
// a real aiosmtpd server on 127.0.0.1, the received message read back with Python's email
// package, and the stamps read back from the table file by a second process (storetool).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include "app/ui/QtUi.h"
#include "app/ui/Startup.h"
#include "app/ui/fMain.h"
#include "data/SiteTables.h"
#include "notices/SmtpSink.h"
#include "store/api/StoreTb.h"
#include "support/RecordingQtUi.h"
#include "support/TempDir.h"
#include "transfer/CsvField.h"

using namespace quellor;
using Strings = std::vector<std::string>;

namespace {

const char* const kNoticeItems[] = {"PreviewComplaintMail1", "SendComplaintMail1",
                                    "PreviewDMCAReport1", "SendDMCAComplaintMail1"};

// The Qt Ui with its boxes recorded instead of shown; while the window serves its events during
// a send it notes whether the notice commands and bbtnMail could be used.
class RecordingQtUi : public quellor::test::RecordingQtUi {
 public:
  TForm1* form = nullptr;
  std::vector<bool> enabledDuringSend;
  void ProcessEvents() override {
    if (form && enabledDuringSend.empty()) {
      for (const char* item : kNoticeItems)
        enabledDuringSend.push_back(form->MenuItem(item)->isEnabled());
      enabledDuringSend.push_back(form->findChild<QToolButton*>("bbtnMail")->isEnabled());
    }
    QtUi::ProcessEvents();
  }
};

// A JSON string as the parser prints it (UTF-8, not escaped to ASCII).
std::string Json(const std::string& s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') r += '\\';
    if (c == '\r')
      r += "\\r";
    else if (c == '\n')
      r += "\\n";
    else
      r += c;
  }
  return r + "\"";
}

// The site's record as another process reads it from the table file.
Strings DumpRecord(const std::string& folder, const std::string& url) {
  std::string command = std::string(QUELLOR_STORETOOL) + " dump '" + folder + "' cracks.DAT";
  FILE* p = popen(command.c_str(), "r");
  Strings fields;
  if (!p) return fields;
  char buf[65536];
  while (fgets(buf, sizeof buf, p)) {
    std::string line = buf;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (GetCsvField(line, ',', 0) != url) continue;
    for (int i = 0; i < 26; ++i) fields.push_back(GetCsvField(line, ',', i));
  }
  pclose(p);
  return fields;
}

std::string Today() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
  return buf;
}

class NoticeWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::HaveAiosmtpd()) << "python3-aiosmtpd is not installed (scripts/setup.sh)";
    CreateProgramTables(dir.path());
    {
      TStoreTable t;
      t.SetDatabaseName(dir.path());
      t.SetTableName("cracks.DAT");
      t.Open();
      t.Append();
      t.FieldByName("Url").SetAsString("http://warez.example/");
      t.FieldByName("E-mails").SetAsString("abuse@isp.example, noc@isp.example");
      t.FieldByName("IPAddr").SetAsString("192.0.2.7");
      t.FieldByName("Cracks").SetAsBoolean(true);
      t.FieldByName("Killed").SetAsBoolean(false);
      t.FieldByName("DMCAUrls")
          .SetAsString(
              "http://warez.example/a.html, C, Photo Tool;\r\nhttp://warez.example/b.html, S, "
              "Sound Tool");
      t.Post();
    }
    test::WriteFileBytes(dir.file("noticeFooter.txt"), "Regards,\r\nThe Abuse Desk\r\n");
    test::WriteFileBytes(dir.file("dmca-template.txt"),
                         "Notice about %url% (%IP%)\r\n\r\n%urls%Titles:\r\n%apps%");
  }
  void StartWith(int port, const std::string& extraMail = "") {
    test::WriteFileBytes(dir.file("Quellor.Ini"),
                         "[Mail]\r\nHostName=127.0.0.1\r\nPort=" + std::to_string(port) +
                             "\r\nFrom=Abuse Desk <desk@example.org>\r\n" + extraMail);
    startUp.Run(dir.path());
    form = &startUp.Form();
    ui.form = form;
    ASSERT_EQ(ui.calls, Strings{});
  }
  std::string Memo() {
    return form->findChild<QPlainTextEdit*>("DisplayMemo")->toPlainText().toStdString();
  }

  test::TempDir dir;
  test::TempDir sinkDir;
  RecordingQtUi ui;
  TStartUp startUp{ui};
  TForm1* form = nullptr;
};

TEST_F(NoticeWindow, SendComplaintMailThroughTheButton) {
  test::SinkServer sink(sinkDir.path());
  ASSERT_GT(sink.Port(), 0);
  StartWith(sink.Port());
  QTest::mouseClick(form->findChild<QToolButton*>("bbtnMail"), Qt::LeftButton);
  EXPECT_EQ(ui.calls, Strings{});
  EXPECT_EQ(Memo(),
            "Connecting to 127.0.0.1.\nConnected.\nEncoding text\nDisconnecting from "
            "127.0.0.1.\nNot connected.\nMail sent to abuse@isp.example, noc@isp.example.");
  // The commands could not be used while the send was under way, and can be again.
  EXPECT_EQ(ui.enabledDuringSend, (std::vector<bool>{false, false, false, false, false}));
  for (const char* item : kNoticeItems) EXPECT_TRUE(form->MenuItem(item)->isEnabled()) << item;

  ASSERT_TRUE(test::WaitForFile(sinkDir.file("msg1.eml")));
  auto f = test::Parse(sinkDir.file("msg1.eml"));
  EXPECT_EQ(f["subject"], "\"Software piracy notice: http://warez.example/\"");
  EXPECT_EQ(f["to"], "[[\"\", \"abuse@isp.example\"], [\"\", \"noc@isp.example\"]]");
  EXPECT_EQ(f["from_addr"], "\"desk@example.org\"");
  std::string body;
  for (const std::string& line : form->NoticeLines) body += line + "\r\n";
  EXPECT_NE(body.find("http://warez.example/\r\nIP Address: 192.0.2.7\r\n"), std::string::npos);
  EXPECT_NE(body.find("Regards,\r\nThe Abuse Desk\r\n"), std::string::npos);
  EXPECT_EQ(f["body"], Json(body));
  EXPECT_EQ(f["defects"], "[]");
  EXPECT_EQ(test::ReadFileBytes(sinkDir.file("msg1.env")),
            "{\"from\": \"desk@example.org\", \"to\": [\"abuse@isp.example\", "
            "\"noc@isp.example\"]}");

  Strings record = DumpRecord(dir.path(), "http://warez.example/");
  ASSERT_EQ(record.size(), 26u);
  EXPECT_EQ(record[21].substr(0, 10), Today()) << "LastSent";
  EXPECT_EQ(record[22], "") << "LastDMCASent";
}

TEST_F(NoticeWindow, SendDmcaComplaintMailThroughTheMenu) {
  test::SinkServer sink(sinkDir.path());
  ASSERT_GT(sink.Port(), 0);
  StartWith(sink.Port());
  form->MenuItem("SendDMCAComplaintMail1")->trigger();
  EXPECT_EQ(ui.calls, Strings{});
  ASSERT_TRUE(test::WaitForFile(sinkDir.file("msg1.eml")));
  auto f = test::Parse(sinkDir.file("msg1.eml"));
  EXPECT_EQ(f["subject"], "\"DMCA Notice\"");
  EXPECT_EQ(f["to"], "[[\"\", \"abuse@isp.example\"], [\"\", \"noc@isp.example\"]]");
  const std::string expected =
      "Notice about http://warez.example/ (192.0.2.7)\r\n\r\n"
      "http://warez.example/a.html displays an active hypertext link for a \"crack\" for Photo "
      "Tool\r\n\r\n"
      "http://warez.example/b.html displays serial numbers \"serialz\" for Sound Tool\r\n\r\n"
      "Titles:\r\nPhoto Tool\r\nSound Tool\r\n\r\n"
      "The \"Serialz\" are designed to disable or bypass copyright protection encoded in the "
      "software programs, in violation of US Copyright law.\r\n\r\n"
      "The \"crack\" files are designed to disable or bypass copyright protection encoded in the "
      "software programs, in violation of US Copyright law.\r\n\r\n";
  EXPECT_EQ(f["body"], Json(expected));
  Strings record = DumpRecord(dir.path(), "http://warez.example/");
  ASSERT_EQ(record.size(), 26u);
  EXPECT_EQ(record[21], "") << "LastSent";
  EXPECT_EQ(record[22].substr(0, 10), Today()) << "LastDMCASent";
}

TEST_F(NoticeWindow, BadAddressStopsTheSendBeforeAnyConnection) {
  test::SinkServer sink(sinkDir.path());
  ASSERT_GT(sink.Port(), 0);
  test::WriteFileBytes(dir.file("bademails.txt"), "isp.example\r\nnoc@isp.example\r\n");
  StartWith(sink.Port());
  form->MenuItem("SendComplaintMail1")->trigger();
  EXPECT_EQ(ui.calls, Strings{"message: Bad email: noc@isp.example"});
  EXPECT_EQ(Memo(), "");
  // The server saw no connection at all.
  EXPECT_EQ(test::ReadFileBytes(sinkDir.file("wire.log")), "");
  Strings record = DumpRecord(dir.path(), "http://warez.example/");
  ASSERT_EQ(record.size(), 26u);
  EXPECT_EQ(record[21], "");
  EXPECT_EQ(record[22], "");
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
