#include "data/SiteViews.h"

#include "app/Config.h"
#include "app/Ui.h"
#include "data/DataMod.h"
#include "store/api/StoreTb.h"

namespace quellor {

namespace {

// Puts the current site into editing, lets `mark` set the flags, stores and flushes. An open
// table without a current record (an empty view, not inserting) is refused with a message:
// editing there would start a new record holding nothing but the flags. A closed table is left
// to the store, whose error reports it.
bool MarkCurrentSite(TDM& dm, Ui& ui, void (*mark)(TStoreTable&)) {
  TStoreTable& t = dm.tblCracks;
  if (t.Active() && t.State() == TDataSetState::Browse && t.IsEmpty()) {
    ui.ShowMessage(kNoSiteToKill);
    return false;
  }
  t.Edit();
  mark(t);
  t.Post();
  t.FlushToDisk();
  // A site that no longer passes the view filter leaves the view: the next one that passes
  // becomes current (or the last, or none).
  t.Refresh();
  return true;
}

}  // namespace

std::string FilterValueOf(TCheckState state) {
  switch (state) {
    case TCheckState::Checked:
      return "True";
    case TCheckState::Unchecked:
      return "False";
    case TCheckState::Grayed:
      break;
  }
  return {};
}

std::string RankError(const std::string& text) {
  size_t b = text.find_first_not_of(" \t");
  if (b == std::string::npos && text.empty()) return {};
  bool ok = b != std::string::npos;
  if (ok) {
    std::string number = text.substr(b, text.find_last_not_of(" \t") - b + 1);
    size_t digits = number[0] == '-' || number[0] == '+' ? 1 : 0;
    ok = number.size() > digits && number.size() - digits <= 5 &&
         number.find_first_not_of("0123456789", digits) == std::string::npos;
    if (ok) {
      long value = std::stol(number);
      ok = value >= -32768 && value <= 32767;
    }
  }
  return ok ? std::string()
            : "'" + text +
                  "' is not a valid rank: type a whole number from -32768 to 32767, or nothing";
}

void ApplyFilterChoice(TConfig& config, TDM& dm, const TFilterChoice& choice) {
  config.KilledFilter = FilterValueOf(choice.killed);
  config.IPChangedFilter = FilterValueOf(choice.ipChanged);
  config.PriorityFilter = choice.priority;
  dm.ApplyFilter();
}

bool ToggleKilledView(TConfig& config, TDM& dm, bool checked) {
  config.KilledFilter = checked ? "False" : "True";
  dm.ApplyFilter();
  return !checked;
}

void ShowAllSites(TDM& dm) {
  dm.ApplyFilter();
}

bool KillSite(TDM& dm, Ui& ui) {
  return MarkCurrentSite(dm, ui, [](TStoreTable& t) {
    TStoreField& killed = t.FieldByName("Killed");
    killed.SetAsBoolean(!(killed.IsNull() ? false : killed.AsBoolean()));
  });
}

bool KillSiteDead(TDM& dm, Ui& ui) {
  return MarkCurrentSite(dm, ui, [](TStoreTable& t) {
    t.FieldByName("Dead").SetAsBoolean(true);
    t.FieldByName("Killed").SetAsBoolean(true);
  });
}

}  // namespace quellor
