// The commands that change which sites the main window shows and mark the current site as
// killed or dead.
//
// The view is the site table's filter expression, built by TDM::ApplyFilter from the Settings
// object's three in-memory values (KilledFilter, IPChangedFilter, PriorityFilter). The commands
// here set those values and apply the filter:
//   - the killed-sites toggle (View > Killed sites and the tool button bnKilled),
//   - View > All sites, which applies the values as they are,
//   - the Filters dialog, whose three-state boxes and Rank text replace all three values.
// The kill commands edit the current record of the site table itself (also while the grid shows
// a query result), store it and flush the table's files.
//
// The windows only collect the person's choice and call one function here; errors (a Priority
// the filter language rejects, a closed table) leave as exceptions for the window's command
// runner to show.
#pragma once

#include <string>

namespace quellor {

class TConfig;
class TDM;
class Ui;

// A check box with three states, as the Filters dialog offers it.
enum class TCheckState { Unchecked, Checked, Grayed };

// The filter value of a three-state box: "True" when checked, "False" when unchecked, empty
// (no clause) when grey.
std::string FilterValueOf(TCheckState state);

// What the Filters dialog hands over on OK. The defaults are the dialog's own: IP Changed grey,
// Killed unchecked, Rank empty.
struct TFilterChoice {
  TCheckState killed = TCheckState::Unchecked;
  TCheckState ipChanged = TCheckState::Grayed;
  std::string priority;  // exactly as typed: neither trimmed nor checked
};

// The Rank of the Filters dialog: empty, or a whole number of the Priority field (-32768 to
// 32767, a sign allowed, blanks around it allowed as the filter reads them). Anything else
// would reach the filter language as part of the expression and fail there (engine error
// 10051) at every later filter command, so the dialog refuses it with this message; "" when
// the text is fine.
std::string RankError(const std::string& text);

// OK of the Filters dialog: sets the three values from the choice, then applies the filter.
// A Priority the filter language rejects raises the store's filter error after the values are
// set, so the same error returns at every later ApplyFilter until another choice is made.
void ApplyFilterChoice(TConfig& config, TDM& dm, const TFilterChoice& choice);

// The killed-sites toggle. `checked` is the check mark of View > Killed sites before the
// command: KilledFilter becomes "False" when it is set and "True" when not, and the filter is
// applied. Returns the new check mark (the inverse); when applying fails the exception leaves
// and the caller keeps the mark as it was.
bool ToggleKilledView(TConfig& config, TDM& dm, bool checked);

// View > All sites: applies the filter with the three values as they are. The caller then
// removes the check mark of View > Killed sites.
void ShowAllSites(TDM& dm);

// The message the kill commands show instead of acting when the view holds no site.
inline constexpr const char* kNoSiteToKill = "There is no site to mark: the view is empty";

// Edit > Kill site: Killed := not Killed (an empty Killed counts as false), the record is
// stored together with any change still pending in the form, and the table is flushed; a site
// that no longer passes the view filter leaves the view (the next site that passes becomes
// current, as after Refresh). On an
// empty view it shows kNoSiteToKill and changes nothing. Returns whether a record was stored.
bool KillSite(TDM& dm, Ui& ui);
// Edit > Kill site dead: Dead := true and Killed := true, otherwise as KillSite.
bool KillSiteDead(TDM& dm, Ui& ui);

}  // namespace quellor
