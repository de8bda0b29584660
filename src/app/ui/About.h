// TAboutBox: the About box, modal, with the product name, version, build, maker and web address.
#pragma once

#include <QDialog>
#include <string>

namespace quellor {

class Ui;

inline constexpr const char* kProductWebPage = "https://www.quellor.org/";
inline constexpr const char* kMakerWebSite = "https://www.ostrel.org/";

// "Build " + 1.2 with three decimals and the user's decimal separator.
std::string BuildLine(char decimalSeparator);

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  TAboutBox(Ui& ui, QWidget* parent = nullptr);
};

}  // namespace quellor
