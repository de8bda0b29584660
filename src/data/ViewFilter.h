// The view filter of the site table: the filter expression built from the Settings object's
// three in-memory values (KilledFilter, IPChangedFilter, PriorityFilter). The texts are not
// checked here; the table store compiles them when the filter is set.
#pragma once

#include <string>

namespace quellor {

class TConfig;

// Adds a clause to a filter text: text + " And " + clause, or clause when text is empty.
void AppendClause(std::string& text, const std::string& clause);

// "Killed = " + KilledFilter, "IPChanged = " + IPChangedFilter and "Priority = " + PriorityFilter,
// each only when its value is not empty, joined by AppendClause, with blanks removed at both ends
// of the whole text. Empty when every value is empty (every record passes).
std::string ViewFilterText(const TConfig& config);

}  // namespace quellor
