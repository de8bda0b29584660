#include "app/fMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <exception>

#include "app/About.h"
#include "app/Config.h"
#include "app/Help.h"
#include "app/Include.h"
#include "app/QtUi.h"

namespace quellor {

namespace {

// "Kill site dead" -> "Killsitedead1".
std::string ItemName(const char* caption) {
  std::string name;
  for (const char* p = caption; *p; ++p)
    if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
  return name + "1";
}

}  // namespace

TForm1::TForm1(TConfig& config, QtUi& ui, QWidget* parent)
    : QMainWindow(parent), config_(config), ui_(ui), companyMenu_(config, ui) {
  setObjectName("Form1");
  QFont f("Arial");
  f.setPixelSize(11);
  setFont(f);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  setCentralWidget(central);
  BuildToolStrip();
  BuildPages();
  BuildMenus();
  resize(714, 457 + menuBar()->sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  companyMenu_.OnChange = [this] { RebuildCompanyMenu(); };
  RunCommand([this] { FormCreate(); });
}

TForm1::~TForm1() {
  companyMenu_.OnChange = nullptr;
}

void TForm1::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  } catch (...) {
    ui_.ShowError("Unknown error");
  }
}

void TForm1::AddStatusLine(const std::string& line) {
  displayMemo_->appendPlainText(ToQ(line));
}

QAction* TForm1::MenuItem(const std::string& name) const {
  auto it = items_.find(name);
  return it == items_.end() ? nullptr : it->second;
}

void TForm1::FormCreate() {
  NoticeLines.clear();
  companyMenu_.Build();
}

void TForm1::BuildToolStrip() {
  auto* strip = new QFrame(centralWidget());
  strip->setObjectName("Panel1");
  strip->setFrameShape(QFrame::StyledPanel);
  strip->setFixedHeight(25);
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(2, 0, 2, 0);
  row->setSpacing(1);
  struct Button {
    const char *name, *text, *hint;
  } buttons[] = {
      {"bbtnMail", "@", "Send Complaint Mail"},
      {"sbtnFindFirst", "?", "Find First"},
      {"SpeedButton1", "\u25a4", "Toggle form view"},
      {"bnKilled", "K", "Toggle killed sites view"},
  };
  for (const auto& b : buttons) {
    auto* button = new QToolButton(strip);
    button->setObjectName(b.name);
    button->setText(QString::fromUtf8(b.text));
    button->setToolTip(b.hint);
    button->setAutoRaise(false);
    row->addWidget(button);
  }
  row->addStretch(1);
  static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(strip);
}

void TForm1::BuildPages() {
  pages_ = new QTabWidget(centralWidget());
  pages_->setObjectName("PageControl1");
  auto* formPage = new QWidget(pages_);
  formPage->setObjectName("TabSheet1");
  auto* detailPage = new QWidget(pages_);
  detailPage->setObjectName("TabSheet2");
  pages_->addTab(formPage, "Form");
  pages_->addTab(detailPage, "Detail");

  displayMemo_ = new QPlainTextEdit(centralWidget());
  displayMemo_->setObjectName("DisplayMemo");
  displayMemo_->setReadOnly(true);
  displayMemo_->setFixedHeight(97);
  displayMemo_->setFocusPolicy(Qt::ClickFocus);  // skipped by the tab key
  displayMemo_->setToolTip("This memo shows info messages");
  displayMemo_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  displayMemo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  displayMemo_->setLineWrapMode(QPlainTextEdit::NoWrap);

  auto* layout = static_cast<QVBoxLayout*>(centralWidget()->layout());
  layout->addWidget(pages_, 1);
  layout->addWidget(displayMemo_);
}

QAction* TForm1::AddItem(QMenu* menu, const char* caption, const char* shortcut) {
  QAction* action = menu->addAction(caption);
  std::string name = ItemName(caption);
  action->setObjectName(QString::fromStdString(name));
  if (shortcut) action->setShortcut(QKeySequence(shortcut));
  items_[name] = action;
  return action;
}

void TForm1::BuildMenus() {
  QMenuBar* bar = menuBar();
  auto menu = [this, bar](const char* caption) {
    QMenu* m = bar->addMenu(caption);
    m->setObjectName(QString::fromStdString(ItemName(caption)));
    items_[ItemName(caption)] = m->menuAction();
    return m;
  };
  auto later = [](QAction* a) { a->setEnabled(false); };  // wired by the command's own module

  QMenu* file = menu("&File");
  companyMenuWidget_ = file->addMenu("Com&pany");
  companyMenuWidget_->setObjectName("Company1");
  items_["Company1"] = companyMenuWidget_->menuAction();
  file->addSeparator();
  later(AddItem(file, "Export to HTML"));
  later(AddItem(file, "E&xport to CSV"));
  later(AddItem(file, "&Export killed sites"));
  later(AddItem(file, "&Import CSV file"));
  later(AddItem(file, "Import Html file"));
  file->addSeparator();
  later(AddItem(file, "&New SQL file"));
  later(AddItem(file, "E&dit SQL file"));
  later(AddItem(file, "&Open SQL file"));
  file->addSeparator();
  connect(AddItem(file, "&Close"), &QAction::triggered, this, &QWidget::close);

  QMenu* edit = menu("&Edit");
  AddItem(edit, "&Delete", "Ctrl+Del");  // carries the shortcut, does nothing
  later(AddItem(edit, "&Kill site", "Ctrl+K"));
  later(AddItem(edit, "Kill site dead", "Ctrl+L"));
  edit->addSeparator();
  later(AddItem(edit, "Find &First", "Ctrl+F"));
  AddItem(edit, "Find &Next", "F3")->setVisible(false);

  QMenu* navigate = menu("&Navigate");
  later(AddItem(navigate, "&Next", "Ctrl+N"));
  later(AddItem(navigate, "&Prev", "Ctrl+P"));

  QMenu* view = menu("&View");
  later(AddItem(view, "&Options"));
  QAction* killed = AddItem(view, "&Killed sites");
  killed->setCheckable(true);
  later(killed);
  later(AddItem(view, "&All sites"));
  later(AddItem(view, "&Cracks table"));
  connect(AddItem(view, "Toggle Form &View", "Ctrl+D"), &QAction::triggered, this,
          [this] { RunCommand([this] { ToggleFormView(); }); });
  QAction* urlCheck = AddItem(view, "&Url check");
  urlCheck->setVisible(false);
  later(urlCheck);
  later(AddItem(view, "&Filters"));

  QMenu* tools = menu("&Tools");
  later(AddItem(tools, "Preview Complaint Mail"));
  later(AddItem(tools, "Send Complaint &Mail", "Ctrl+M"));
  later(AddItem(tools, "Preview DMCA Report"));
  later(AddItem(tools, "Send DMCA Complaint Mail"));
  tools->addSeparator();
  later(AddItem(tools, "Get IP", "Ctrl+I"));
  later(AddItem(tools, "Check IPs"));
  tools->addSeparator();
  later(AddItem(tools, "Get Emails", "Ctrl+E"));
  later(AddItem(tools, "&Save ISP", "Ctrl+S"));
  tools->addSeparator()->setVisible(false);
  QAction* update = AddItem(tools, "Check for &Update");
  update->setVisible(false);
  later(update);

  bar->addSeparator();

  QMenu* help = menu("&Help");
  connect(AddItem(help, "&Contents", "F1"), &QAction::triggered, this,
          [this] { RunCommand([this] { HelpContents(ui_); }); });
  connect(AddItem(help, "&Keyword search"), &QAction::triggered, this,
          [this] { RunCommand([this] { HelpKeywordSearch(ui_); }); });
  help->addSeparator();
  connect(AddItem(help, "Quellor web page"), &QAction::triggered, this,
          [this] { RunCommand([this] { OpenUrl(ui_, kProductWebPage); }); });
  connect(AddItem(help, "Ostrel web site"), &QAction::triggered, this,
          [this] { RunCommand([this] { OpenUrl(ui_, kMakerWebSite); }); });
  help->addSeparator();
  connect(AddItem(help, "About"), &QAction::triggered, this,
          [this] { RunCommand([this] { ShowAbout(); }); });

  // The tool buttons run the same commands as their menu items.
  auto wire = [this](const char* button, const char* item) {
    if (auto* b = findChild<QToolButton*>(button)) b->setDefaultAction(items_[item]);
  };
  wire("bbtnMail", "SendComplaintMail1");
  wire("sbtnFindFirst", "FindFirst1");
  wire("SpeedButton1", "ToggleFormView1");
  wire("bnKilled", "Killedsites1");
  // setDefaultAction takes over the texts; give the buttons back their hints and glyphs.
  struct Hint {
    const char *button, *text, *hint;
  } hints[] = {{"bbtnMail", "@", "Send Complaint Mail"},
               {"sbtnFindFirst", "?", "Find First"},
               {"SpeedButton1", "\u25a4", "Toggle form view"},
               {"bnKilled", "K", "Toggle killed sites view"}};
  for (const auto& h : hints) {
    if (auto* b = findChild<QToolButton*>(h.button)) {
      b->setToolTip(h.hint);
      b->setText(QString::fromUtf8(h.text));
    }
  }
}

void TForm1::RebuildCompanyMenu() {
  setWindowTitle(ToQ(companyMenu_.Title()));
  companyMenuWidget_->clear();
  const auto& items = companyMenu_.Items();
  for (size_t i = 0; i < items.size(); ++i) {
    int index = static_cast<int>(i);
    QAction* action = companyMenuWidget_->addAction(ToQ(items[i].caption));
    if (index == TCompanyMenu::kNewCompany) {
      action->setObjectName("Newcompany1");
      connect(action, &QAction::triggered, this,
              [this] { RunCommand([this] { companyMenu_.NewCompany(); }); });
      continue;
    }
    action->setCheckable(true);
    action->setChecked(items[i].checked);
    if (index == TCompanyMenu::kDefault) {
      action->setObjectName("Default1");
      connect(action, &QAction::triggered, this,
              [this] { RunCommand([this] { companyMenu_.Default(); }); });
    } else {
      action->setObjectName(QString("CompanyItem%1").arg(index - TCompanyMenu::kFirstCompany + 1));
      connect(action, &QAction::triggered, this,
              [this, index] { RunCommand([this, index] { companyMenu_.Choose(index); }); });
    }
  }
}

void TForm1::ToggleFormView() {
  pages_->setCurrentIndex(pages_->currentIndex() == 0 ? 1 : 0);
}

void TForm1::ShowAbout() {
  TAboutBox box(ui_, this);
  box.exec();
}

}  // namespace quellor
