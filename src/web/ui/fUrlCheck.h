// TfrmUrlCheck: the "Url Check" window. It lists the link targets of a saved HTML page in its
// grid and starts one UrlCheck worker per row, each of which writes its row's two status columns.
// Opened only through the hidden View menu entry "&Url check".
#pragma once

#include <QDialog>
#include <memory>
#include <string>

class QLineEdit;
class QPushButton;
class QTableWidget;

namespace quellor {

class TUrlCheckTarget;
class Ui;

class TfrmUrlCheck : public QDialog {
  Q_OBJECT

 public:
  explicit TfrmUrlCheck(Ui& ui, QWidget* parent = nullptr);
  ~TfrmUrlCheck() override;

  void Button1Click();  // "...": choose a file and list its links
  void btnGoClick();    // "Go": one worker per data row

  // The open dialog's starting folder (the program folder).
  const std::string& InitialDir() const { return initialDir_; }

 private:
  void FormCreate();
  void ListLinks(const std::string& fileName);

  Ui& ui_;
  QLineEdit* edtUrl_;
  QPushButton* Button1_;
  QPushButton* btnGo_;
  QTableWidget* StringGrid1_;
  std::string initialDir_;
  std::string dialogFileName_;  // what the open dialog holds, kept between runs
  std::shared_ptr<TUrlCheckTarget> target_;
};

// Opens the window modally and discards it when it is closed.
void Urlcheck1Click(Ui& ui, QWidget* parent);

}  // namespace quellor
