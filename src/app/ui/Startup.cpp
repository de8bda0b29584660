#include "app/ui/Startup.h"

#include <QApplication>
#include <exception>

#include "app/Include.h"
#include "app/Install.h"
#include "app/ui/QtUi.h"
#include "app/ui/StorePw.h"
#include "app/ui/fMain.h"
#include "data/DataMod.h"
#include "data/FieldText.h"
#include "platform/Locale.h"
#include "store/api/StoreTb.h"

namespace quellor {

TStartUp::TStartUp(QtUi& ui) : ui_(ui) {}

TStartUp::~TStartUp() {
  if (form_) form_->AttachData(nullptr);
  form_.reset();
  dm_.reset();
}

void TStartUp::Run(const std::string& programFolder) {
  // The settings object: config_ exists already, every string empty, every number zero.
  // The program folder.
  if (programFolder.empty()) {
    // The executable's folder, or the person's own folder for an installed program.
    InitProgramFolder();
    try {
      SetProgramFolder(ChooseProgramFolder(ProgramFolder()));
    } catch (const std::exception& e) {
      ui_.ShowError(e.what());
    }
  } else {
    SetProgramFolder(programFolder);
  }
  // The last company, then its settings.
  try {
    config_.ReadLastCompany();
    config_.ReadSettings();
  } catch (const std::exception& e) {
    ui_.ShowError(e.what());
  }
  // Dates are read and written in the person's short date format (the locale's).
  UseLocaleDateFormats(TStoreSession::Default(), Locale::Current());
  // The application title.
  QApplication::setApplicationName("Quellor");
  // The person's own settings of the window (size, position, page, grid columns) are kept under
  // these names (~/.config/Ostrel/Quellor.conf), apart from the shared program folder.
  QApplication::setOrganizationName("Ostrel");
  // The main window; its creation step runs in its constructor.
  form_ = std::make_unique<TForm1>(config_, ui_);
  ui_.SetParent(form_.get());
  // Encrypted tables ask for their password in the store's password dialog.
  InstallStorePasswordDialog(TStoreSession::Default(), form_.get());
  // The data module; missing tables leave it with closed tables.
  dm_ = std::make_unique<TDM>(config_, ui_);
  form_->RunCommand([this] { dm_->DataModuleCreate(); });
  form_->AttachData(&dm_->dsCracks);
  form_->SetDataModule(dm_.get());
  form_->show();
}

}  // namespace quellor
