#include "app/Startup.h"

#include <QApplication>
#include <exception>

#include "app/Include.h"
#include "app/QtUi.h"
#include "app/fMain.h"
#include "data/DataMod.h"

namespace quellor {

TStartUp::TStartUp(QtUi& ui) : ui_(ui) {}

TStartUp::~TStartUp() {
  if (form_) form_->AttachData(nullptr);
  form_.reset();
  dm_.reset();
}

void TStartUp::Run(const std::string& programFolder) {
  // 2. The settings object exists (config_), every string empty, every number zero.
  // 3. The program folder.
  if (programFolder.empty()) {
    InitProgramFolder();
  } else {
    SetProgramFolder(programFolder);
  }
  // 4. and 5.
  try {
    config_.ReadLastCompany();
    config_.ReadSettings();
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  }
  // 6.
  QApplication::setApplicationName("Quellor");
  // 7. The main window; its creation step runs in its constructor.
  form_ = std::make_unique<TForm1>(config_, ui_);
  ui_.SetParent(form_.get());
  // 8. The data module; missing tables leave it with closed tables.
  dm_ = std::make_unique<TDM>(config_);
  form_->RunCommand([this] { dm_->DataModuleCreate(); });
  form_->AttachData(&dm_->dsCracks);
  form_->SetDataModule(dm_.get());
  form_->show();
}

}  // namespace quellor
