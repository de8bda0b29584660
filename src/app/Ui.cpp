#include "app/Ui.h"

namespace quellor {

std::string StandardErrorText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
    return text + ".";
  return text;
}

}  // namespace quellor
