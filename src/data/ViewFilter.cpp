#include "data/ViewFilter.h"

#include "app/Config.h"

namespace quellor {

void AppendClause(std::string& text, const std::string& clause) {
  text = text.empty() ? clause : text + " And " + clause;
}

std::string ViewFilterText(const TConfig& config) {
  std::string text;
  if (!config.KilledFilter.empty()) text = "Killed = " + config.KilledFilter;
  if (!config.IPChangedFilter.empty()) AppendClause(text, "IPChanged = " + config.IPChangedFilter);
  if (!config.PriorityFilter.empty()) AppendClause(text, "Priority = " + config.PriorityFilter);
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = text.find_last_not_of(' ');
  return text.substr(b, e - b + 1);
}

}  // namespace quellor
