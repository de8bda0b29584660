#include "app/ui/fMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>
#include <exception>

#include "app/Config.h"
#include "app/Help.h"
#include "app/Include.h"
#include "app/TableNotice.h"
#include "app/ui/About.h"
#include "app/ui/FindDialog.h"
#include "app/ui/Icons.h"
#include "app/ui/QtUi.h"
#include "app/ui/ScreenFit.h"
#include "data/DataMod.h"
#include "data/DataSource.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "lookup/HostResolver.h"
#include "lookup/IpCheck.h"
#include "lookup/IspContacts.h"
#include "store/api/StoreTb.h"
#include "transfer/ImportSites.h"
#include "transfer/ui/fHtml2Csv.h"
#include "web/UpdateCheck.h"
#include "web/ui/fUrlCheck.h"

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
    : QMainWindow(parent),
      config_(config),
      ui_(ui),
      companyMenu_(config, ui),
      resolver_(SystemResolver()) {
  setObjectName("Form1");

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  setCentralWidget(central);
  BuildToolStrip();
  BuildPages();
  BuildMenus();
  WireViewCommands();
  WireExportCommands();
  BuildStatusBar();
  BuildWindowKeys();
  // It opens with its frame (title bar and borders) inside the screen's free area.
  FitToScreen(this, QSize(820, 620));
  RestoreWindowState();

  findDialog_ = new TFindDialog(this);
  connect(findDialog_, &TFindDialog::FindNext, this,
          [this] { RunCommand([this] { FindDialog1Find(); }); });
  // The dialog names the column the person chose in the grid.
  connect(grid_, &TDBGrid::SelectedColumnChanged, findDialog_,
          [this] { findDialog_->SetColumn(grid_->SelectedColumnName()); });
  findDialog_->SetColumn(grid_->SelectedColumnName());
  SetDataControlErrorHandler([this](const std::string& text) { ui_.ShowError(text); });
  qApp->installEventFilter(this);

  companyMenu_.OnChange = [this] { RebuildCompanyMenu(); };
  RunCommand([this] { FormCreate(); });
}

TForm1::~TForm1() {
  qApp->removeEventFilter(this);
  AttachData(nullptr);
  SetDataControlErrorHandler(nullptr);
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
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(2, 1, 2, 1);
  row->setSpacing(1);
  struct Button {
    const char *name, *icon, *hint;
  } buttons[] = {
      {"bbtnMail", "mail-send", "Send Complaint Mail"},
      {"sbtnFindFirst", "edit-find", "Find First"},
      {"SpeedButton1", "view-form", "Toggle form view"},
      {"bnKilled", "site-killed", "Toggle killed sites view"},
  };
  for (const auto& b : buttons) {
    auto* button = new QToolButton(strip);
    button->setObjectName(b.name);
    button->setIcon(ThemeIcon(b.icon));
    button->setText(b.hint);
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
    button->setToolTip(b.hint);
    button->setAutoRaise(false);
    row->addWidget(button);
  }
  navigator_ = new TDBNavigator(ui_, strip);
  row->addWidget(navigator_);
  row->addStretch(1);
  static_cast<QVBoxLayout*>(centralWidget()->layout())->addWidget(strip);
}

void TForm1::BuildPages() {
  pages_ = new QTabWidget(centralWidget());
  pages_->setObjectName("PageControl1");
  auto* formPage = new QWidget(pages_);
  formPage->setObjectName("TabSheet1");
  // The form scrolls when the window is smaller than the form (large fonts, small screens).
  auto* formLayout = new QVBoxLayout(formPage);
  formLayout->setContentsMargins(0, 0, 0, 0);
  auto* formScroll = new QScrollArea(formPage);
  formScroll->setObjectName("FormScroll");
  formScroll->setWidgetResizable(true);
  formScroll->setFrameShape(QFrame::NoFrame);
  auto* formPanel = new QWidget(formScroll);
  formPanel->setObjectName("FormPanel");
  formLayout->addWidget(formScroll);
  auto* detailPage = new QWidget(pages_);
  detailPage->setObjectName("TabSheet2");
  pages_->addTab(formPage, "Form");
  pages_->addTab(detailPage, "Detail");
  BuildFormPage(formPanel);
  formScroll->setWidget(formPanel);
  grid_ = new TDBGrid(detailPage);
  auto* detailLayout = new QVBoxLayout(detailPage);
  detailLayout->setContentsMargins(0, 0, 0, 0);
  detailLayout->addWidget(grid_);
  connect(grid_, &QAbstractItemView::doubleClicked, this,
          [this] { RunCommand([this] { OpenCurrentUrl(); }); });
  // A cell that cannot be edited in place says where to edit, in the status bar.
  connect(grid_, &TDBGrid::EditRefused, this,
          [this](const QString& reason) { statusBar()->showMessage(reason, 8000); });

  displayMemo_ = new QPlainTextEdit(centralWidget());
  displayMemo_->setObjectName("DisplayMemo");
  displayMemo_->setReadOnly(true);
  // Two to six lines of the desktop's font, with the frame and the horizontal scroll bar.
  int memoChrome =
      2 * displayMemo_->frameWidth() + displayMemo_->horizontalScrollBar()->sizeHint().height() + 4;
  int line = displayMemo_->fontMetrics().lineSpacing();
  displayMemo_->setMinimumHeight(2 * line + memoChrome);
  displayMemo_->setMaximumHeight(6 * line + memoChrome);
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

  QMenu* file = menu("&File");
  companyMenuWidget_ = file->addMenu("Com&pany");
  companyMenuWidget_->setObjectName("Company1");
  items_["Company1"] = companyMenuWidget_->menuAction();
  file->addSeparator();
  AddItem(file, "Export to HTML");
  AddItem(file, "E&xport to CSV");
  AddItem(file, "&Export killed sites");
  connect(AddItem(file, "&Import CSV file"), &QAction::triggered, this,
          [this] { RunCommand([this] { ImportCSVfile1Click(); }); });
  connect(AddItem(file, "Import Html file"), &QAction::triggered, this,
          [this] { RunCommand([this] { ImportHtmlfile1Click(); }); });
  file->addSeparator();
  AddItem(file, "&New SQL file");
  AddItem(file, "E&dit SQL file");
  AddItem(file, "&Open SQL file");
  file->addSeparator();
  connect(AddItem(file, "&Close"), &QAction::triggered, this, &QWidget::close);

  QMenu* edit = menu("&Edit");
  AddItem(edit, "&Delete", "Ctrl+Del");  // carries the shortcut, does nothing
  AddItem(edit, "&Kill site", "Ctrl+K");
  AddItem(edit, "Kill site dead", "Ctrl+L");
  edit->addSeparator();
  connect(AddItem(edit, "Find &First", "Ctrl+F"), &QAction::triggered, this,
          [this] { RunCommand([this] { FindFirst1Click(); }); });
  AddItem(edit, "Find &Next", "F3")->setVisible(false);

  QMenu* navigate = menu("&Navigate");
  connect(AddItem(navigate, "&Next", "Ctrl+N"), &QAction::triggered, this,
          [this] { RunCommand([this] { Next1Click(); }); });
  connect(AddItem(navigate, "&Prev", "Ctrl+P"), &QAction::triggered, this,
          [this] { RunCommand([this] { Prev1Click(); }); });

  QMenu* view = menu("&View");
  AddItem(view, "&Options");
  QAction* killed = AddItem(view, "&Killed sites");
  killed->setCheckable(true);
  AddItem(view, "&All sites");
  AddItem(view, "&Cracks table");
  connect(AddItem(view, "Toggle Form &View", "Ctrl+D"), &QAction::triggered, this,
          [this] { RunCommand([this] { ToggleFormView(); }); });
  QAction* urlCheck = AddItem(view, "&Url check");
  urlCheck->setVisible(false);  // hidden: nothing makes it visible
  connect(urlCheck, &QAction::triggered, this,
          [this] { RunCommand([this] { Urlcheck1Click(ui_, this); }); });
  AddItem(view, "&Filters");

  QMenu* tools = menu("&Tools");
  AddItem(tools, "Preview Complaint Mail");
  AddItem(tools, "Send Complaint &Mail", "Ctrl+M");
  AddItem(tools, "Preview DMCA Report");
  AddItem(tools, "Send DMCA Complaint Mail");
  WireNoticeCommands();
  tools->addSeparator();
  connect(AddItem(tools, "Get IP", "Ctrl+I"), &QAction::triggered, this,
          [this] { RunCommand([this] { GetIP1Click(); }); });
  connect(AddItem(tools, "Check IPs"), &QAction::triggered, this,
          [this] { RunCommand([this] { CheckIPs1Click(); }); });
  tools->addSeparator();
  connect(AddItem(tools, "Get Emails", "Ctrl+E"), &QAction::triggered, this,
          [this] { RunCommand([this] { GetEmails1Click(); }); });
  connect(AddItem(tools, "&Save ISP", "Ctrl+S"), &QAction::triggered, this,
          [this] { RunCommand([this] { SaveISP1Click(); }); });
  tools->addSeparator()->setVisible(false);
  QAction* update = AddItem(tools, "Check for &Update");
  update->setVisible(false);  // hidden with its separator: nothing makes them visible
  connect(update, &QAction::triggered, this,
          [this] { RunCommand([this] { CheckforUpdate1Click(ui_, config_); }); });

  // The separator between Tools and Help. Most styles draw no separator in a menu bar, so it is
  // a disabled item showing a bar.
  if (bar->style()->styleHint(QStyle::SH_DrawMenuBarSeparator, nullptr, bar)) {
    bar->addSeparator()->setObjectName("N1");
  } else {
    QAction* line = bar->addAction(QString(QChar(0x2502)));
    line->setObjectName("N1");
    line->setEnabled(false);
  }

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
  // setDefaultAction takes over the action's texts and icon: the actions carry the buttons'
  // icons (shown in the menus as well) and hints.
  struct Hint {
    const char *item, *icon, *hint;
  } hints[] = {{"SendComplaintMail1", "mail-send", "Send Complaint Mail"},
               {"FindFirst1", "edit-find", "Find First"},
               {"ToggleFormView1", "view-form", "Toggle form view"}};
  for (const auto& h : hints) {
    items_[h.item]->setIcon(ThemeIcon(h.icon));
    items_[h.item]->setToolTip(h.hint);
  }
}

void TForm1::WireNoticeCommands() {
  notices_.GridDataSet = [this] { return GridDataSet(); };
  notices_.SiteTable = [this] { return siteTable_; };
  notices_.AddStatusLine = [this](const std::string& text) { SMTPStatus(text); };
  static const char* const kItems[] = {"PreviewComplaintMail1", "SendComplaintMail1",
                                       "PreviewDMCAReport1", "SendDMCAComplaintMail1"};
  // From the start of a send to its end the four commands (and bbtnMail, which shares the
  // Send item) are disabled: the window serves its events meanwhile.
  notices_.OnBusyChanged = [this](bool busy) {
    for (const char* name : kItems)
      if (QAction* a = MenuItem(name)) a->setEnabled(!busy);
  };
  auto wire = [this](const char* item, void (TNoticeDispatcher::*command)()) {
    connect(items_[item], &QAction::triggered, this,
            [this, command] { RunCommand([this, command] { (notices_.*command)(); }); });
  };
  wire("PreviewComplaintMail1", &TNoticeDispatcher::PreviewComplaintMail1Click);
  wire("SendComplaintMail1", &TNoticeDispatcher::SendComplaintMail1Click);
  wire("PreviewDMCAReport1", &TNoticeDispatcher::PreviewDMCAReport1Click);
  wire("SendDMCAComplaintMail1", &TNoticeDispatcher::SendDMCAComplaintMail1Click);
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

void TForm1::BuildFormPage(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 8, 8);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(4);

  auto edit = [this, page](const char* name, const char* field) {
    auto* e = new TDBEdit(page);
    e->setObjectName(name);
    e->SetDataField(field);
    edits_.push_back(e);
    return e;
  };
  auto check = [this, page](const char* caption, const char* field) {
    auto* c = new TDBCheckBox(caption, page);
    c->setObjectName(QString("cb") + field);
    c->SetDataField(field);
    checks_.push_back(c);
    return c;
  };
  // Each label's mnemonic (Alt + the underlined letter) moves to its box.
  std::vector<std::pair<QLabel*, int>> labels;  // label, index of its box in `order` below
  auto label = [page, grid, &labels](const char* text, int row, int column = 0) {
    auto* l = new QLabel(text, page);
    grid->addWidget(l, row, column, Qt::AlignRight);
    labels.push_back({l, static_cast<int>(labels.size())});
  };

  edHost_ = new QLineEdit(page);
  edHost_->setObjectName("edHost");  // editable: people shorten a host to the provider's domain
  QPalette menuColoured = edHost_->palette();
  menuColoured.setColor(QPalette::Base, menuColoured.color(QPalette::Window));
  edHost_->setPalette(menuColoured);
  edHost_->installEventFilter(this);

  label("&Domain:", 0);
  grid->addWidget(edHost_, 0, 1, 1, 3);
  label("&Url:", 1);
  TDBEdit* url = edit("DBEdit1", "Url");
  grid->addWidget(url, 1, 1, 1, 3);
  connect(url, &QLineEdit::textChanged, this, [this] { DBEdit1Change(); });
  url->installEventFilter(this);
  label("E&mails:", 2);
  TDBEdit* emails = edit("DBEdit2", "E-mails");
  grid->addWidget(emails, 2, 1, 1, 3);
  label("&Bad Emails:", 3);
  TDBEdit* bad = edit("DBEdit3", "BadE-mails");
  grid->addWidget(bad, 3, 1, 1, 3);
  label("&IP:", 4);
  TDBEdit* ip = edit("DBEdit7", "IPAddr");
  grid->addWidget(ip, 4, 1);
  TDBCheckBox* ipChanged = check("IP Changed", "IPChanged");
  grid->addWidget(ipChanged, 4, 2, 1, 2);
  label("N&otes:", 5);
  TDBEdit* notes = edit("DBEdit4", "Notes");
  grid->addWidget(notes, 5, 1, 1, 3);
  label("File u&rls:", 6);
  TDBEdit* urls = edit("DBEdit5", "Urls");
  grid->addWidget(urls, 6, 1, 1, 3);
  label("&Last sent:", 7);
  TDBEdit* lastSent = edit("DBEdit6", "LastSent");
  grid->addWidget(lastSent, 7, 1);
  label("DM&CA sent:", 7, 2);
  TDBEdit* dmcaSent = edit("DBEdit10", "LastDMCASent");
  grid->addWidget(dmcaSent, 7, 3);
  label("&Priority:", 8);
  TDBEdit* priority = edit("DBEdit8", "Priority");
  grid->addWidget(priority, 8, 1);
  label("&Killed By:", 9);
  TDBEdit* killedBy = edit("DBEdit9", "KilledBy");
  grid->addWidget(killedBy, 9, 1);
  label("DMC&A Urls:", 10);
  memo_ = new TDBMemo(page);
  memo_->setObjectName("DBMemo1");
  memo_->SetDataField("DMCAUrls");
  grid->addWidget(memo_, 10, 1, 1, 3);
  grid->setRowStretch(10, 1);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);

  // The column of check boxes, with a gap where a new group starts.
  auto* column = new QVBoxLayout();
  column->setSpacing(1);
  const char* groups[][8][2] = {
      {{"Cracks", "Cracks"},
       {"Serials", "Serialz"},
       {"Warez", "Warez"},
       {"Tutes", "Tutes"},
       {"Forumz", "Forumz"},
       {"Toolz", "Toolz"},
       {"Porn", "Porn"},
       {"Hackz", "Hacks"}},
      {{"Links only", "LinksOnly"}, {"DMCA", "DMCA"}},
      {{"Blessed", "Blessed"}, {"Killed", "Killed"}, {"Dead", "Dead"}},
      {{"USA", "USA"}},
  };
  std::vector<QWidget*> order = {edHost_, url,      emails,   bad,      ip,       ipChanged, notes,
                                 urls,    lastSent, dmcaSent, priority, killedBy, memo_};
  // The labels in the order they were made, and their boxes.
  QWidget* buddies[] = {edHost_, url,      emails,   bad,      ip,       notes,
                        urls,    lastSent, dmcaSent, priority, killedBy, memo_};
  for (const auto& [l, i] : labels) {
    l->setBuddy(buddies[i]);
    l->setObjectName("lbl" + buddies[i]->objectName());
  }
  for (size_t g = 0; g < 4; ++g) {
    if (g > 0) column->addSpacing(10);
    for (const auto& item : groups[g]) {
      if (!item[0]) break;
      TDBCheckBox* c = check(item[0], item[1]);
      column->addWidget(c);
      order.push_back(c);
    }
  }
  column->addStretch(1);
  grid->addLayout(column, 0, 4, 11, 1);
  for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::AttachData(TDataSource* dsCracks) {
  if (dsCracks_ && dsCracks_ != dsCracks) dsCracks_->OnHeldChanged = nullptr;
  dsCracks_ = dsCracks;
  siteTable_ = dsCracks ? dsCracks->DataSet() : nullptr;
  for (TDBEdit* e : edits_) e->SetDataSource(dsCracks);
  for (TDBCheckBox* c : checks_) c->SetDataSource(dsCracks);
  memo_->SetDataSource(dsCracks);
  grid_->SetDataSource(dsCracks);
  navigator_->SetDataSource(dsCracks);
  if (dsCracks) {
    // Typing on a site another user edits stays in the boxes; the status bar says who edits it.
    dsCracks->OnHeldChanged = [this](bool held, const std::string& holder) {
      if (held)
        statusBar()->showMessage(ToQ(SiteHeldText(holder)));
      else
        statusBar()->clearMessage();
      navigator_->UpdateButtons();
    };
  }
  AttachStatus(dsCracks);
}

TStoreTable* TForm1::NavigatorDataSet() const {
  TDataSource* ds = navigator_->DataSource();
  return ds && ds->Active() ? ds->DataSet() : nullptr;
}

TStoreTable* TForm1::GridDataSet() const {
  TDataSource* ds = grid_->Model()->DataSource();
  return ds && ds->Active() ? ds->DataSet() : nullptr;
}

void TForm1::DBEdit1Change() {
  auto* url = findChild<TDBEdit*>("DBEdit1");
  edHost_->setText(ToQ(HostFromUrl(FromQ(url->text()))));
}

void TForm1::edHostClick() {
  edHost_->selectAll();
  ui_.SetClipboardText(FromQ(edHost_->text()));
}

void TForm1::SetResolver(std::shared_ptr<THostResolver> resolver) {
  resolver_ = std::move(resolver);
}

namespace {
std::string BoxText(const QWidget* form, const char* name) {
  auto* box = form->findChild<QLineEdit*>(name);
  return box ? FromQ(box->text()) : std::string();
}
}  // namespace

void TForm1::GetIP1Click() {
  if (!dm_) return;
  GetIP(dm_->tblCracks, BoxText(this, "DBEdit1"), BoxText(this, "DBEdit7"), resolver_, ui_);
}

void TForm1::CheckIPs1Click() {
  if (!dm_) return;
  CheckIPs(dm_->tblCracks, resolver_, ui_);
}

void TForm1::GetEmails1Click() {
  if (!dm_) return;
  std::string domain = FromQ(edHost_->text());
  ui_.ShowMessage(EmailsFoundText(domain, GetSiteEmails(*dm_, domain)));
}

void TForm1::SaveISP1Click() {
  if (!dm_) return;
  std::string domain = FromQ(edHost_->text());
  ui_.ShowMessage(IspSavedText(domain, SaveIsp(*dm_, domain, BoxText(this, "DBEdit2"))));
}

void TForm1::OpenCurrentUrl() {
  TStoreTable* t = GridDataSet();
  if (!t) return;
  OpenUrl(ui_, t->FieldByName("Url").AsString());
}

void TForm1::FindFirst1Click() {
  TStoreTable* t = GridDataSet();
  if (t) finder_.FindFirst(*t);
  findDialog_->SetColumn(grid_->SelectedColumnName());
  findDialog_->show();
  findDialog_->raise();
}

void TForm1::FindDialog1Find() {
  TStoreTable* t = NavigatorDataSet();
  if (!t) return;
  finder_.SearchStep(*t, grid_->SelectedIndex(), findDialog_->Options(), ui_);
}

void TForm1::Next1Click() {
  if (TStoreTable* t = NavigatorDataSet()) t->Next();
}

void TForm1::Prev1Click() {
  if (TStoreTable* t = NavigatorDataSet()) t->Prior();
}

void TForm1::CancelEdit() {
  if (TDataSource* ds = navigator_->DataSource()) ds->DropHeldChanges();
  if (TStoreTable* t = NavigatorDataSet()) t->Cancel();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  bool mine = widget && widget->window() == this;
  switch (event->type()) {
    case QEvent::KeyPress:
      // The window sees every key first: Esc anywhere cancels the pending edit, except in the
      // editor of a grid cell, where it first drops what was typed into the cell.
      if (mine && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !grid_->Editing()) {
        RunCommand([this] { CancelEdit(); });
        return true;
      }
      break;
    case QEvent::ShortcutOverride: {
      // Menu shortcuts take precedence over the keys a box would handle itself (Ctrl+K, ...).
      if (!mine) break;
      auto* key = static_cast<QKeyEvent*>(event);
      QKeySequence pressed(key->keyCombination());
      for (const auto& [name, action] : items_) {
        if (!action->shortcut().isEmpty() && action->shortcut() == pressed) return true;
      }
      break;
    }
    case QEvent::MouseButtonDblClick:
      if (watched->objectName() == "DBEdit1") {
        RunCommand([this] { OpenCurrentUrl(); });
        return true;
      }
      break;
    case QEvent::MouseButtonRelease:
      if (watched == edHost_) RunCommand([this] { edHostClick(); });
      break;
    default:
      break;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::ToggleFormView() {
  pages_->setCurrentIndex(pages_->currentIndex() == 0 ? 1 : 0);
}

void TForm1::ShowAbout() {
  TAboutBox box(ui_, this);
  box.exec();
}

namespace {

// The site table and its database, for the commands that import sites.
TSiteTarget SiteTarget(TDataSource* dsCracks) {
  TStoreTable* sites = dsCracks ? dsCracks->DataSet() : nullptr;
  if (!sites || !sites->Active()) throw EDatabaseError(DatasetText::ClosedDataset);
  TStoreDatabase* db = TStoreSession::Default().FindDatabase(sites->DatabaseName());
  if (!db) throw EDatabaseError("Database " + sites->DatabaseName() + " is not open");
  return {*db, *sites};
}

}  // namespace

void TForm1::ImportCSVfile1Click() {
  quellor::ImportCSVfile1Click(SiteTarget(dsCracks_), ui_);
}

void TForm1::ImportHtmlfile1Click() {
  TfrmHtml2Csv window(SiteTarget(dsCracks_), ui_, this);
  window.exec();
}

}  // namespace quellor
