// The main window's commands that change the site view (View > Killed sites and the tool button
// bnKilled, All sites, Cracks table, Filters), mark the current site (Edit > Kill site, Kill site
// dead) and open the Options dialog. Each runs through RunCommand and calls one function of the
// logic layer (SiteViews.h, Options.h); the window keeps only the check mark of Killed sites and
// the look of bnKilled.
#include <QAction>
#include <QToolButton>

#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "app/ui/fOptions.h"
#include "data/DataMod.h"
#include "data/SiteViews.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "data/ui/fFilters.h"

namespace quellor {

void TForm1::WireViewCommands() {
  auto on = [this](const char* item, void (TForm1::*command)()) {
    connect(MenuItem(item), &QAction::triggered, this,
            [this, command] { RunCommand([this, command] { (this->*command)(); }); });
  };
  on("Options1", &TForm1::Options1Click);
  on("Allsites1", &TForm1::Allsites1Click);
  on("Crackstable1", &TForm1::Crackstable1Click);
  on("Filters1", &TForm1::Filters1Click);
  on("Killsite1", &TForm1::Killsite1Click);
  on("Killsitedead1", &TForm1::Killsitedead1Click);

  // The check mark of Killed sites changes only when the command succeeds, so the item's own
  // toggling on a click is undone before the command runs.
  QAction* killed = MenuItem("Killedsites1");
  connect(killed, &QAction::triggered, this, [this, killed](bool checkedNow) {
    killed->setChecked(!checkedNow);
    RunCommand([this] { Killedsites1Click(); });
  });
  if (auto* button = findChild<QToolButton*>("bnKilled")) {
    connect(button, &QToolButton::clicked, this,
            [this] { RunCommand([this] { Killedsites1Click(); }); });
  }
  SetKilledLook(false);
}

void TForm1::SetKilledLook(bool on) {
  if (auto* button = findChild<QToolButton*>("bnKilled")) button->setAutoRaise(on);
}

void TForm1::Options1Click() {
  TfrmOptions dialog(config_, ui_, this);
  dialog.exec();
}

void TForm1::Killedsites1Click() {
  if (!dm_) return;
  QAction* item = MenuItem("Killedsites1");
  bool checked = ToggleKilledView(config_, *dm_, item->isChecked());
  item->setChecked(checked);
  SetKilledLook(checked);
}

void TForm1::Allsites1Click() {
  if (!dm_) return;
  ShowAllSites(*dm_);
  MenuItem("Killedsites1")->setChecked(false);
}

void TForm1::Crackstable1Click() {
  if (!dm_) return;
  grid_->SetDataSource(&dm_->dsCracks);
  navigator_->SetDataSource(grid_->Model()->DataSource());
  UpdateStatusBar();
}

void TForm1::Filters1Click() {
  TfrmFilters dialog(ui_, this);
  if (dialog.exec() != QDialog::Accepted || !dm_) return;
  ApplyFilterChoice(config_, *dm_, dialog.Choice());
}

void TForm1::Killsite1Click() {
  if (dm_) KillSite(*dm_, ui_);
}

void TForm1::Killsitedead1Click() {
  if (dm_) KillSiteDead(*dm_, ui_);
}

}  // namespace quellor
