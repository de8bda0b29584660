// TDBGrid: the grid of a data source's dataset, one column per field in field order.
//
// The grid reads rows on demand through a reader cursor of its own on the same table (same
// index and filter), in pages of kPageRows, so a table of 100,000 records shows its first page
// at once and the person's cursor (and its at-start/at-end flags) is never moved by painting.
// The grid's current row follows the dataset's current record; choosing a row moves the dataset
// there. The row being edited shows the edit buffer.
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <map>
#include <memory>
#include <vector>

#include "data/DataSource.h"

namespace quellor {

class TDataSetModel : public QAbstractTableModel, public TDataLink {
  Q_OBJECT
 public:
  static constexpr int kPageRows = 100;
  static constexpr size_t kCachedPages = 64;

  explicit TDataSetModel(QObject* parent = nullptr);
  ~TDataSetModel() override;

  void SetDataSource(TDataSource* source);
  TDataSource* DataSource() const { return source_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The row of the dataset's current record (from 0), or -1.
  int CurrentRow() const;
  // Moves the dataset to the record shown in `row`.
  void MoveToRow(int row);

  void DataEvent(TDataEvent event, int info) override;

  // Pages read from the table since the last reset (for tests and the benchmark).
  int PagesRead() const { return pagesRead_; }

 signals:
  void CurrentRowChanged(int row);

 private:
  struct Row {
    TBookmark bookmark;
    std::vector<QString> values;
  };
  void Reset();
  bool OpenReader() const;
  const std::vector<Row>* Page(int page) const;
  QString CurrentValue(int column) const;

  TDataSource* source_ = nullptr;
  mutable std::unique_ptr<TStoreTable> reader_;
  mutable int rowCount_ = -1;
  mutable int readerRow_ = -1;  // row the reader stands on after the last page, or -1
  mutable std::map<int, std::vector<Row>> pages_;
  mutable std::vector<int> pageOrder_;  // least recently used first
  mutable int pagesRead_ = 0;
  std::vector<QString> columns_;
};

class TDBGrid : public QTableView {
  Q_OBJECT
 public:
  explicit TDBGrid(QWidget* parent = nullptr);
  void SetDataSource(TDataSource* source);
  TDataSetModel* Model() const { return model_; }
  // The selected column (the first, Url, until the person selects another).
  int SelectedIndex() const;

 private:
  TDataSetModel* model_;
  bool following_ = false;
  int selectedColumn_ = 0;
};

}  // namespace quellor
