#include "app/Help.h"

#include "app/Include.h"

namespace quellor {

std::string HelpPage(int context) {
  std::string folder = ProgramFolder() + "help/";
  if (context == 0) return folder + "index.html";
  if (context < 0) return folder + "keywords.html";
  return folder + "context-" + std::to_string(context) + ".html";
}

bool HelpContents(Ui& ui) {
  return OpenUrl(ui, "file://" + HelpPage(0));
}
bool HelpKeywordSearch(Ui& ui) {
  return OpenUrl(ui, "file://" + HelpPage(-1));
}
bool HelpContext(Ui& ui, int context) {
  return OpenUrl(ui, "file://" + HelpPage(context));
}

}  // namespace quellor
