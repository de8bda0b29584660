// The main window's File menu commands that write site lists (Export killed sites, Export to
// HTML, Export to CSV) and run SQL files (New, Edit and Open SQL file; View > Cracks table in
// fMainViews.cpp brings the grid back to the site table after a result was shown there). Each
// runs through RunCommand and calls one function of the logic layer (Exports.h, SqlFiles.h); the
// window only switches the grid between the site table and the query's data source.
#include <QAction>
#include <QTabWidget>

#include "app/Config.h"
#include "app/ui/QtUi.h"
#include "app/ui/fMain.h"
#include "data/DataMod.h"
#include "data/ui/DBControls.h"
#include "data/ui/DBGrid.h"
#include "transfer/Exports.h"
#include "transfer/SqlFiles.h"

namespace quellor {

void TForm1::WireExportCommands() {
  auto on = [this](const char* item, void (TForm1::*command)()) {
    connect(MenuItem(item), &QAction::triggered, this,
            [this, command] { RunCommand([this, command] { (this->*command)(); }); });
  };
  on("Exportkilledsites1", &TForm1::Exportkilledsites1Click);
  on("ExporttoHTML1", &TForm1::ExporttoHTML1Click);
  on("ExporttoCSV1", &TForm1::ExporttoCSV1Click);
  on("NewSQLfile1", &TForm1::NewSQLfile1Click);
  on("EditSQLfile1", &TForm1::EditSQLfile1Click);
  on("OpenSQLfile1", &TForm1::OpenSQLfile1Click);
}

void TForm1::Exportkilledsites1Click() {
  if (dm_) ExportKilledSitesCommand(dm_->qry1, config_.KilledSiteFolder, ui_);
}

void TForm1::ExporttoHTML1Click() {
  if (dm_) ExporttoHTML(dm_->qry1, config_.KilledSiteFolder, ui_);
}

void TForm1::ExporttoCSV1Click() {
  ExporttoCSV(GridDataSet(), ui_);
}

void TForm1::NewSQLfile1Click() {
  NewSQLfile(ui_);
}

void TForm1::EditSQLfile1Click() {
  EditSQLfile(ui_);
}

void TForm1::OpenSQLfile1Click() {
  if (!dm_) return;
  // The navigator stays on the site table; only the grid shows the result, on the Detail page
  // (brought to the front), with the result's rows counted in the status bar.
  if (!OpenSQLfile(*dm_, ui_)) return;
  grid_->SetDataSource(&dm_->DataSourceQ1);
  pages_->setCurrentIndex(1);
  UpdateStatusBar();
}

}  // namespace quellor
