// TDBGrid: the grid of a data source's dataset, one column per field in field order.
//
// The grid reads rows on demand through a reader cursor of its own on the same table (same
// index and filter), in pages of kPageRows, so a table of 100,000 records shows its first page
// at once and the person's cursor (and its at-start/at-end flags) is never moved by painting.
// The grid's current row (drawn as a selected row) follows the dataset's current record;
// choosing a row moves the dataset there. The row being edited shows the edit buffer.
//
// What the grid has read (the row count, the pages, a sort order) stays valid while the
// dataset's ChangeCount stands still and its filter is the same: a move of the cursor only
// finds the current record's row again — at the end after Last, at the start after First,
// among the pages read, or next to the row it was on — and does not count or read the records
// again. A page far from the start is reached from the nearest known place (the end, a page
// read before) by moving the reader, so Last and Ctrl+End show the last page at once. A change
// of the records (this program's or another's that the store noticed) reads them again.
//
// A click on a column's header sorts the grid by that column, ascending; a second click
// descending; a third gives the dataset's own order back. The sorted order is a list of the
// records' bookmarks, built in memory once per sort and kept while the records do not change;
// the table's files are not touched, and the dataset's own order (the navigator's Next and
// Prior) stays as it is. Boolean fields show as check boxes, which a click changes when the
// table can be written (the record goes into editing, as with the form's check boxes). Other
// cells are edited in place (F2 or typing; Enter takes the text, Esc drops it): the record goes
// into editing with the new value, and moving or Post stores it, as in the form. A cell that
// cannot be edited that way (a BLOB, a query result, a read-only table) says where to edit
// instead (EditRefused).
#pragma once

#include <QAbstractTableModel>
#include <QTableView>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "data/DataSource.h"

namespace quellor {

enum class TGridSort { None, Ascending, Descending };

class TDataSetModel : public QAbstractTableModel, public TDataLink {
  Q_OBJECT
 public:
  static constexpr int kPageRows = 100;
  static constexpr size_t kCachedPages = 64;

  explicit TDataSetModel(QObject* parent = nullptr);
  ~TDataSetModel() override;

  void SetDataSource(TDataSource* source);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // The row of the dataset's current record (from 0), or -1.
  int CurrentRow() const;
  // Moves the dataset to the record shown in `row`.
  void MoveToRow(int row);
  // Whether the column shows a boolean field (as a check box).
  bool IsBooleanColumn(int column) const;
  // Whether the cell's text can be edited in place: a text, number or date column of a table
  // that can be written (not a BLOB, which the form's multi-line box edits, nor a query result).
  bool IsEditableColumn(int column) const;
  // Why a cell of the column cannot be edited in place, for the person ("" when it can).
  QString NotEditableReason(int column) const;
  // The type of the column's field.
  TFieldType ColumnType(int column) const;

  // Orders the rows by `column` (TGridSort::None: the dataset's own order).
  void SortBy(int column, TGridSort order);
  int SortColumn() const { return sort_ == TGridSort::None ? -1 : sortColumn_; }
  TGridSort Sort() const { return sort_; }

  void DataEvent(TDataEvent event, int info) override;

  // Pages read from the table since the last reset, and times the records were counted or
  // walked through from end to end (for tests and the benchmark).
  int PagesRead() const { return pagesRead_; }
  int FullReads() const { return fullReads_; }

 signals:
  void CurrentRowChanged(int row);
  // Another dataset (or none) is shown: the columns are new.
  void ColumnsChanged();

 private:
  struct Row {
    TBookmark bookmark;
    std::vector<QString> values;
  };
  void Reset();
  // Forgets the rows read (count, pages, sort order); called inside a model reset.
  void DropRows() const;
  bool RecordsChanged() const;
  bool OpenReader() const;
  int Rows() const;  // rows without the one being inserted
  bool BuildOrder() const;
  bool PositionReader(int first) const;
  void ReadRow(Row& row) const;
  const std::vector<Row>* Page(int page) const;
  const Row* RowAt(int row) const;
  int LocateCurrentRow() const;
  QString CurrentValue(int column) const;
  QVariant CheckState(const QString& value) const;

  mutable std::unique_ptr<TStoreTable> reader_;
  mutable uint64_t changeCount_ = 0;  // the dataset's ChangeCount when the rows were read
  mutable int rowCount_ = -1;
  mutable int readerRow_ = -1;  // row the reader stands on after the last page, or -1
  mutable std::map<int, std::vector<Row>> pages_;
  mutable std::vector<int> pageOrder_;  // least recently used first
  mutable int pagesRead_ = 0;
  mutable int fullReads_ = 0;
  mutable int currentRow_ = -1;
  mutable bool currentKnown_ = false;
  bool inserting_ = false;
  std::vector<QString> columns_;
  std::vector<bool> booleans_;
  std::vector<TFieldType> types_;
  int sortColumn_ = -1;
  TGridSort sort_ = TGridSort::None;
  mutable bool orderBuilt_ = false;
  mutable std::vector<TBookmark> order_;
  mutable std::unordered_map<int32_t, int> orderRow_;  // record slot -> row of the sorted order
};

class TDBGrid : public QTableView {
  Q_OBJECT
 public:
  explicit TDBGrid(QWidget* parent = nullptr);
  void SetDataSource(TDataSource* source);
  TDataSetModel* Model() const { return model_; }
  // The selected column (the first, Url, until the person selects another).
  int SelectedIndex() const;
  // A click on the header of `column`: ascending, then descending, then the dataset's order.
  void HeaderClicked(int column);
  // Whether a cell's editor is open.
  bool Editing() const { return state() == QAbstractItemView::EditingState; }
  // The header text of the selected column ("" while the grid shows no columns).
  QString SelectedColumnName() const;
  // The column names as one text ("Url|E-mails|..."), to tell one set of columns from another.
  QString ColumnsKeyText() const { return ColumnsKey(); }

 signals:
  // The person chose another column (a click, the arrow keys, Tab), or other columns came.
  void SelectedColumnChanged();
  // A key asked to edit a cell that cannot be edited in place: where to edit instead.
  void EditRefused(const QString& reason);

 protected:
  // Ctrl+Home and Ctrl+End go to the first and the last record in the column the person chose
  // (a table view would also move to the first or last column, which would change the column
  // Find searches without anything on screen saying so).
  QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  void FollowCurrentRow(int row);
  // The names of the columns shown, as one key.
  QString ColumnsKey() const;
  // Gives each column its first width from its content: a yes/no column as wide as its header,
  // a date-time column as wide as a date and time, a text column as wide as the longest value
  // of the first page (within reason).
  void FitColumns();

  TDataSetModel* model_;
  // The header's state (widths, order, sort arrow) for each set of columns shown so far: a
  // reset of the model (the records changed) and a return from a query result to the site
  // table give the columns back as the person left them.
  std::map<QString, QByteArray> columnStates_;
  QString columnsKey_;
  bool following_ = false;
  int selectedColumn_ = 0;
};

}  // namespace quellor
