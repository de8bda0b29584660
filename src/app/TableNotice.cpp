#include "app/TableNotice.h"

#include <exception>

#include "store/api/StoreTb.h"

namespace quellor {

namespace {

// Whether the closed table's files are there; a table whose folder cannot be asked counts as
// missing.
bool TableExists(TStoreTable& table) {
  try {
    return table.Exists();
  } catch (const std::exception&) {
    return false;
  }
}

void AddLine(std::string& text, const char* line) {
  if (!text.empty()) text += '\n';
  text += line;
}

}  // namespace

std::string TableNoticeText(TStoreTable* sites, TStoreTable* isps) {
  std::string text;
  if (sites) {
    if (!sites->Active()) {
      AddLine(text, TableExists(*sites) ? kSiteTableClosed : kSiteTableMissing);
    } else if (sites->ReadOnly()) {
      AddLine(text, kSiteTableReadOnly);
    }
  }
  if (isps && !isps->Active() && !TableExists(*isps)) AddLine(text, kIspTableMissing);
  return text;
}

std::string SiteEditedByText(const std::string& holder) {
  return (holder.empty() ? std::string("Another user") : holder) + " is editing this site";
}

std::string SiteHeldText(const std::string& holder) {
  return SiteEditedByText(holder) +
         ". Your typing is kept: press Post when they are done, or Esc to drop it.";
}

}  // namespace quellor
