#include "app/ui/About.h"

#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Include.h"
#include "app/ui/QtText.h"
#include "platform/Locale.h"

namespace quellor {

std::string BuildLine(char sep) {
  return std::string("Build 1") + sep + "200";
}

namespace {

QPixmap Logo() {
  QPixmap pix(139, 42);
  pix.fill(QColor(0, 0, 128));
  QPainter p(&pix);
  p.setPen(Qt::white);
  QFont f("Arial");
  f.setPixelSize(24);
  f.setBold(true);
  p.setFont(f);
  p.drawText(pix.rect(), Qt::AlignCenter, "Quellor");
  return pix;
}

}  // namespace

TAboutBox::TAboutBox(Ui& ui, QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About Quellor");
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint);
  setModal(true);

  auto* logo = new QLabel(this);
  logo->setObjectName("ProgramIcon");
  logo->setPixmap(Logo());
  logo->setFixedSize(139, 42);
  logo->setScaledContents(true);

  auto* product = new QLabel(QString("Quellor") + QChar(0x2122), this);
  product->setObjectName("ProductName");
  QFont big = product->font();
  big.setPointSize(big.pointSize() + 8);
  big.setBold(true);
  product->setFont(big);

  auto* version = new QLabel("Version 1.20", this);
  version->setObjectName("Version");
  QFont bold = version->font();
  bold.setBold(true);
  version->setFont(bold);

  auto* build = new QLabel(ToQ(BuildLine(Locale::Current().decimalSeparator)), this);
  build->setObjectName("Build");
  auto* maker = new QLabel("Made by Ostrel", this);
  maker->setObjectName("Copyright");

  auto* web = new QLabel(this);
  web->setObjectName("WebAddress");
  web->setText(QString("<a href=\"%1\" style=\"color:navy; text-decoration:underline\">%1</a>")
                   .arg(kMakerWebSite));
  web->setToolTip(kMakerWebSite);
  web->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  connect(web, &QLabel::linkActivated, this,
          [&ui](const QString& link) { OpenUrl(ui, FromQ(link)); });

  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);

  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(logo, 0, Qt::AlignLeft);
  layout->addWidget(product);
  layout->addWidget(version);
  layout->addWidget(build);
  layout->addWidget(maker);
  layout->addWidget(web);
  layout->addWidget(line);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace quellor
