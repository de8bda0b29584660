#include "web/ui/UrlCheckThread.h"

#include <QTableWidget>
#include <atomic>

#include "app/ui/UiThread.h"

namespace quellor {

namespace {
std::atomic<int> running{0};

void SetCell(QTableWidget* grid, int row, int column, int value) {
  QTableWidgetItem* item = grid->item(row, column);
  if (!item) {
    item = new QTableWidgetItem;
    grid->setItem(row, column, item);
  }
  item->setText(QString::number(value));
}
}  // namespace

void TUrlCheckTarget::ShowStatus(int row) {
  if (!grid_ || row < 1 || row > grid_->rowCount()) return;
  // Data row n is the grid's row n - 1: the title row is the header.
  SetCell(grid_, row - 1, 1, row);
  SetCell(grid_, row - 1, 2, row + 1);
}

UrlCheck::UrlCheck(int row, std::string link, std::shared_ptr<TUrlCheckTarget> target)
    : row_(row), link_(std::move(link)), target_(std::move(target)) {
  running.fetch_add(1);
}

UrlCheck::~UrlCheck() {
  running.fetch_sub(1);
}

int UrlCheck::Running() {
  return running.load();
}

void UrlCheck::Start(int row, std::string link, std::shared_ptr<TUrlCheckTarget> target) {
  auto* worker = new UrlCheck(row, std::move(link), std::move(target));
  std::thread([worker] {
    worker->Execute();
    delete worker;  // the worker releases itself when its body has finished
  }).detach();
}

void UrlCheck::Execute() {
  // The update runs on the user-interface thread and this thread waits for it; once the window
  // has closed, the target drops it.
  TUiHandOver::RunOnUiThread([this] { target_->ShowStatus(row_); });
}

}  // namespace quellor
