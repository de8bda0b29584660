#include "data/ui/DBGrid.h"

#include <QCollator>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QStyle>
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <numeric>
#include <stdexcept>
#include <string>

#include "app/TableNotice.h"
#include "app/ui/QtText.h"
#include "data/FieldText.h"
#include "data/ui/DBControls.h"
#include "store/api/StoreTb.h"

namespace quellor {

namespace {

bool SameBookmark(const TBookmark& a, const TBookmark& b) {
  return a.slot == b.slot && a.logicalId == b.logicalId;
}

bool IsNumeric(TFieldType type) {
  switch (type) {
    case TFieldType::SmallInt:
    case TFieldType::Integer:
    case TFieldType::Word:
    case TFieldType::Float:
    case TFieldType::Currency:
    case TFieldType::BCD:
    case TFieldType::AutoInc:
    case TFieldType::Boolean:
      return true;
    default:
      return false;
  }
}

bool IsDateTime(TFieldType type) {
  return type == TFieldType::Date || type == TFieldType::Time || type == TFieldType::DateTime;
}

}  // namespace

TDataSetModel::TDataSetModel(QObject* parent) : QAbstractTableModel(parent) {}

TDataSetModel::~TDataSetModel() = default;

void TDataSetModel::SetDataSource(TDataSource* source) {
  AttachTo(source);
  Reset();
}

void TDataSetModel::Reset() {
  beginResetModel();
  reader_.reset();
  DropRows();
  pagesRead_ = 0;
  fullReads_ = 0;
  columns_.clear();
  booleans_.clear();
  types_.clear();
  sort_ = TGridSort::None;
  sortColumn_ = -1;
  inserting_ = false;
  if (source_ && source_->Active()) {
    TStoreTable& t = *source_->DataSet();
    for (int i = 0; i < t.FieldCount(); ++i) {
      columns_.push_back(ToQ(t.Fields(i).DisplayLabel()));
      booleans_.push_back(t.Fields(i).DataType() == TFieldType::Boolean);
      types_.push_back(t.Fields(i).DataType());
    }
    inserting_ = t.State() == TDataSetState::Insert;
  }
  endResetModel();
  emit ColumnsChanged();
}

void TDataSetModel::DropRows() const {
  rowCount_ = -1;
  readerRow_ = -1;
  pages_.clear();
  pageOrder_.clear();
  orderBuilt_ = false;
  order_.clear();
  orderRow_.clear();
  currentKnown_ = false;
  changeCount_ = source_ && source_->Active() ? source_->DataSet()->ChangeCount() : 0;
}

bool TDataSetModel::RecordsChanged() const {
  if (!source_ || !source_->Active()) return true;
  const TStoreTable& t = *source_->DataSet();
  if (t.ChangeCount() != changeCount_) return true;
  // A new filter on the table (a view command) is a new reader: it copies the filter only
  // when it opens.
  return reader_ && (reader_->Filter() != t.Filter() || reader_->Filtered() != t.Filtered() ||
                     !(reader_->FilterOptions() == t.FilterOptions()));
}

bool TDataSetModel::OpenReader() const {
  if (reader_) return true;
  if (!source_ || !source_->Active()) return false;
  TStoreTable& t = *source_->DataSet();
  auto reader = std::make_unique<TStoreTable>();
  reader->SetDatabaseName(t.DatabaseName());
  reader->SetTableName(t.TableName());
  reader->SetReadOnly(true);
  reader->OnFilterRecord = t.OnFilterRecord;
  reader->SetFilterOptions(t.FilterOptions());
  reader->SetFilter(t.Filter());  // compiled when the reader opens
  reader->SetFiltered(t.Filtered());
  try {
    reader->Open();
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    return false;
  }
  reader_ = std::move(reader);
  return true;
}

int TDataSetModel::Rows() const {
  if (!source_ || !source_->Active()) return 0;
  if (rowCount_ < 0) {
    rowCount_ = 0;
    if (sort_ != TGridSort::None) {
      if (BuildOrder()) rowCount_ = static_cast<int>(order_.size());
    } else if (OpenReader()) {
      try {
        ++fullReads_;
        rowCount_ = reader_->RecordCount();
      } catch (const std::exception& e) {
        ReportDataControlError(e.what());
      }
    }
  }
  return rowCount_;
}

int TDataSetModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !source_ || !source_->Active()) return 0;
  int rows = Rows();
  // A record being inserted shows as one more row at the end.
  if (inserting_) ++rows;
  return rows;
}

int TDataSetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TDataSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Horizontal && section >= 0 && section < static_cast<int>(columns_.size()))
    return columns_[static_cast<size_t>(section)];
  return {};
}

TFieldType TDataSetModel::ColumnType(int column) const {
  return column >= 0 && column < static_cast<int>(types_.size())
             ? types_[static_cast<size_t>(column)]
             : TFieldType::Unknown;
}

bool TDataSetModel::IsBooleanColumn(int column) const {
  return column >= 0 && column < static_cast<int>(booleans_.size()) &&
         booleans_[static_cast<size_t>(column)];
}

void TDataSetModel::ReadRow(Row& row) const {
  TStoreTable& r = *reader_;
  row.bookmark = r.GetBookmark();
  row.values.clear();
  row.values.reserve(static_cast<size_t>(r.FieldCount()));
  for (int c = 0; c < r.FieldCount(); ++c) {
    // A boolean keeps "" for NULL, "1" and "0" otherwise (shown as a check box).
    if (IsBooleanColumn(c)) {
      TStoreField& f = r.Fields(c);
      row.values.push_back(f.IsNull() ? QString() : QString(f.AsBoolean() ? "1" : "0"));
    } else {
      row.values.push_back(ToQ(FieldDisplayText(r.Fields(c))));
    }
  }
}

bool TDataSetModel::BuildOrder() const {
  if (orderBuilt_) return true;
  if (!OpenReader()) return false;
  order_.clear();
  orderRow_.clear();
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    TStoreTable& r = *reader_;
    TStoreField& f = r.Fields(sortColumn_);
    bool descending = sort_ == TGridSort::Descending;
    // A column that leads an index of the table is read in that index's order (the table's own
    // collation): no keys to build and sort. The reader goes back to its index afterwards.
    std::string indexName = r.IndexName(), indexFields = r.IndexFieldNames();
    bool indexed = false;
    try {
      r.SetIndexFieldNames(f.FieldName());
      indexed = true;
    } catch (const std::exception&) {
    }
    if (indexed) {
      ++fullReads_;
      for (r.First(); !r.Eof(); r.Next()) order_.push_back(r.GetBookmark());
      if (indexFields.empty())
        r.SetIndexName(indexName);
      else
        r.SetIndexFieldNames(indexFields);
      if (descending) std::reverse(order_.begin(), order_.end());
      orderRow_.reserve(order_.size());
      for (size_t i = 0; i < order_.size(); ++i) orderRow_[order_[i].slot] = static_cast<int>(i);
      QGuiApplication::restoreOverrideCursor();
      readerRow_ = -1;
      orderBuilt_ = true;
      return true;
    }
    TFieldType type = f.DataType();
    bool numeric = IsNumeric(type) || IsDateTime(type);
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<TBookmark> marks;
    std::vector<char> nulls;
    std::vector<double> numbers;
    std::vector<QCollatorSortKey> keys;
    std::unordered_map<std::string, int> textKeys;
    std::vector<int> texts;  // index into keys
    ++fullReads_;
    for (r.First(); !r.Eof(); r.Next()) {
      marks.push_back(r.GetBookmark());
      bool null = f.IsNull();
      nulls.push_back(null);
      if (numeric) {
        numbers.push_back(null                          ? 0.0
                          : type == TFieldType::Boolean ? (f.AsBoolean() ? 1.0 : 0.0)
                          : IsDateTime(type)            ? f.AsDateTime()
                                                        : f.AsFloat());
      } else {
        // One collation key per distinct value: columns such as E-mails repeat few values.
        std::string text = null ? std::string() : f.AsString();
        auto [it, added] = textKeys.try_emplace(std::move(text), static_cast<int>(keys.size()));
        if (added) keys.push_back(collator.sortKey(ToQ(it->first)));
        texts.push_back(it->second);
      }
    }
    std::vector<int> idx(marks.size());
    std::iota(idx.begin(), idx.end(), 0);
    // Empty values come first in ascending order; equal values keep the dataset's order.
    auto less = [&](int a, int b) {
      if (nulls[a] != nulls[b]) return nulls[a] > nulls[b];
      if (nulls[a]) return false;
      if (numeric) return numbers[a] < numbers[b];
      return texts[a] != texts[b] &&
             keys[static_cast<size_t>(texts[a])].compare(keys[static_cast<size_t>(texts[b])]) < 0;
    };
    std::stable_sort(idx.begin(), idx.end(),
                     [&](int a, int b) { return descending ? less(b, a) : less(a, b); });
    order_.reserve(idx.size());
    orderRow_.reserve(idx.size());
    for (int i : idx) {
      orderRow_[marks[i].slot] = static_cast<int>(order_.size());
      order_.push_back(marks[i]);
    }
  } catch (const std::exception& e) {
    QGuiApplication::restoreOverrideCursor();
    ReportDataControlError(e.what());
    reader_.reset();  // it may stand on another index: open it anew when next needed
    order_.clear();
    orderRow_.clear();
    orderBuilt_ = true;
    return false;
  }
  QGuiApplication::restoreOverrideCursor();
  readerRow_ = -1;
  orderBuilt_ = true;
  return true;
}

bool TDataSetModel::PositionReader(int first) const {
  TStoreTable& r = *reader_;
  if (first == 0) {
    r.First();
    return true;
  }
  if (!r.Filtered()) {
    // Without a filter the index counts give the position at once.
    r.SetRecNo(first + 1);
    return r.RecNo() == first + 1;
  }
  // With a filter every position is a walk: start from the nearest known place.
  int fromStart = first;
  int fromEnd = rowCount_ >= 0 ? rowCount_ - 1 - first : fromStart + 1;
  int bestPage = -1, fromPage = fromStart + 1;
  for (const auto& [page, rows] : pages_) {
    if (rows.empty()) continue;
    int distance = std::abs(first - page * kPageRows);
    if (distance < fromPage) {
      fromPage = distance;
      bestPage = page;
    }
  }
  if (bestPage >= 0 && fromPage < fromStart && fromPage < fromEnd) {
    try {
      r.GotoBookmark(pages_[bestPage].front().bookmark);
      int distance = first - bestPage * kPageRows;
      if (r.MoveBy(distance) == distance) return true;
    } catch (const std::exception&) {
    }
  }
  if (fromEnd < fromStart) {
    r.Last();
    return r.MoveBy(-fromEnd) == -fromEnd;
  }
  r.First();
  return r.MoveBy(first) == first;
}

const std::vector<TDataSetModel::Row>* TDataSetModel::Page(int page) const {
  auto it = pages_.find(page);
  if (it != pages_.end()) {
    pageOrder_.erase(std::find(pageOrder_.begin(), pageOrder_.end(), page));
    pageOrder_.push_back(page);
    return &it->second;
  }
  if (!OpenReader()) return nullptr;
  std::vector<Row> rows;
  int first = page * kPageRows;
  try {
    TStoreTable& r = *reader_;
    if (sort_ != TGridSort::None) {
      if (!BuildOrder()) return nullptr;
      for (int i = first; i < first + kPageRows && i < static_cast<int>(order_.size()); ++i) {
        Row row;
        try {
          r.GotoBookmark(order_[static_cast<size_t>(i)]);
          ReadRow(row);
        } catch (const std::exception&) {
          // Gone since the order was built: an empty row until the records are read again.
          row.bookmark = order_[static_cast<size_t>(i)];
          row.values.assign(columns_.size(), QString());
        }
        rows.push_back(std::move(row));
      }
      readerRow_ = -1;
    } else {
      // Paging on from the page read last continues where the reader stands; a jump positions
      // it from the nearest known place.
      if (first != readerRow_ && !PositionReader(first)) {
        readerRow_ = -1;
        return nullptr;
      }
      readerRow_ = -1;
      int read = 0;
      for (int i = 0; i < kPageRows && !r.Eof(); ++i) {
        Row row;
        ReadRow(row);
        rows.push_back(std::move(row));
        ++read;
        r.Next();
      }
      if (read == kPageRows && !r.Eof()) readerRow_ = first + read;
    }
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    return nullptr;
  }
  ++pagesRead_;
  if (pages_.size() >= kCachedPages) {
    pages_.erase(pageOrder_.front());
    pageOrder_.erase(pageOrder_.begin());
  }
  pageOrder_.push_back(page);
  return &(pages_[page] = std::move(rows));
}

const TDataSetModel::Row* TDataSetModel::RowAt(int row) const {
  if (row < 0) return nullptr;
  const std::vector<Row>* page = Page(row / kPageRows);
  size_t i = static_cast<size_t>(row % kPageRows);
  return page && i < page->size() ? &(*page)[i] : nullptr;
}

QString TDataSetModel::CurrentValue(int column) const {
  TStoreTable& t = *source_->DataSet();
  try {
    TStoreField& f = t.Fields(column);
    if (IsBooleanColumn(column)) return f.IsNull() ? QString() : QString(f.AsBoolean() ? "1" : "0");
    return ToQ(FieldDisplayText(f));
  } catch (const std::exception&) {
    return {};
  }
}

QVariant TDataSetModel::CheckState(const QString& value) const {
  if (value.isEmpty()) return Qt::PartiallyChecked;  // NULL: the grey box of the form
  return value == "1" ? Qt::Checked : Qt::Unchecked;
}

bool TDataSetModel::IsEditableColumn(int column) const {
  if (column < 0 || column >= columnCount() || IsBooleanColumn(column)) return false;
  return NotEditableReason(column).isEmpty();
}

QString TDataSetModel::NotEditableReason(int column) const {
  if (!source_ || !source_->Active()) return "There is nothing to edit";
  TFieldType type = ColumnType(column);
  if (type == TFieldType::Blob || type == TFieldType::Memo || type == TFieldType::FmtMemo ||
      type == TFieldType::Graphic || type == TFieldType::Ole || type == TFieldType::TypedBinary ||
      type == TFieldType::Bytes || type == TFieldType::VarBytes || type == TFieldType::AutoInc)
    return columns_[static_cast<size_t>(column)] +
           " is edited on the Form page (Ctrl+D), in its own box";
  if (source_->DataSet()->ReadOnly())
    return "These rows cannot be changed here (a query result or a read-only table); View > "
           "Cracks table shows the sites to edit";
  return {};
}

QVariant TDataSetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  bool boolean = IsBooleanColumn(index.column());
  if (role == Qt::EditRole && !boolean) role = Qt::DisplayRole;
  if (boolean ? role != Qt::CheckStateRole : (role != Qt::DisplayRole && role != Qt::ToolTipRole))
    return {};
  if (!source_ || !source_->Active()) return {};
  QString value;
  if (source_->State() != TDataSetState::Browse && index.row() == CurrentRow()) {
    value = CurrentValue(index.column());
  } else {
    if (index.row() >= Rows()) return {};
    const Row* row = RowAt(index.row());
    if (!row) return {};
    size_t c = static_cast<size_t>(index.column());
    if (c >= row->values.size()) return {};
    value = row->values[c];
  }
  return boolean ? CheckState(value) : QVariant(value);
}

Qt::ItemFlags TDataSetModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && IsBooleanColumn(index.column()) && source_ && source_->Active() &&
      !source_->DataSet()->ReadOnly())
    f |= Qt::ItemIsUserCheckable;
  if (index.isValid() && IsEditableColumn(index.column())) f |= Qt::ItemIsEditable;
  return f;
}

namespace {
// A cell changed on a site another user edits is refused at once, naming them.
void EditWithoutWaiting(TStoreTable& t) {
  if (!t.TryEdit())
    throw std::runtime_error(SiteEditedByText(t.RecordHolder()) + ". Try again when they are done");
}
}  // namespace

bool TDataSetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role == Qt::EditRole && index.isValid() && (flags(index) & Qt::ItemIsEditable)) {
    if (index.row() != CurrentRow()) MoveToRow(index.row());
    if (index.row() != CurrentRow()) return false;
    TStoreTable& t = *source_->DataSet();
    std::string text = FromQ(value.toString());
    try {
      TStoreField& field = t.Fields(index.column());
      if (FieldDisplayText(field) == text) return true;  // nothing changed: no editing
      EditWithoutWaiting(t);
      if (text.empty())
        field.Clear();
      else
        field.SetAsString(text);
    } catch (const std::exception& e) {
      ReportDataControlError(e.what());
      return false;
    }
    return true;
  }
  if (role != Qt::CheckStateRole || !index.isValid() || !IsBooleanColumn(index.column()) ||
      !(flags(index) & Qt::ItemIsUserCheckable))
    return false;
  if (index.row() != CurrentRow()) MoveToRow(index.row());
  if (index.row() != CurrentRow()) return false;
  TStoreTable& t = *source_->DataSet();
  try {
    EditWithoutWaiting(t);
    t.Fields(index.column()).SetAsBoolean(value.toInt() == Qt::Checked);
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    return false;
  }
  return true;
}

int TDataSetModel::LocateCurrentRow() const {
  if (!source_ || !source_->Active()) return -1;
  TStoreTable& t = *source_->DataSet();
  if (t.State() == TDataSetState::Insert) return Rows();
  TBookmark mark = t.GetBookmark();
  if (!mark.Valid()) return -1;
  if (sort_ != TGridSort::None) {
    if (!BuildOrder()) return -1;
    auto it = orderRow_.find(mark.slot);
    return it != orderRow_.end() ? it->second : -1;
  }
  // (The dataset's Bof and Eof flags are set only after it has told its controls of the move,
  // so the rows are compared by bookmark.) First the rows next to the one it was on (Next and
  // Prior, also across the end of a page), then the pages read, then the first row (First) and
  // the last row (Last): each reads at most one page.
  int rows = Rows();
  if (rows <= 0) return -1;
  auto isAt = [&](int row) {
    if (row < 0 || row >= rows) return false;
    const Row* r = RowAt(row);
    return r && SameBookmark(r->bookmark, mark);
  };
  if (currentRow_ >= 0)
    for (int row : {currentRow_ + 1, currentRow_ - 1, currentRow_})
      if (isAt(row)) return row;
  for (const auto& [page, pageRows] : pages_)
    for (size_t i = 0; i < pageRows.size(); ++i)
      if (SameBookmark(pageRows[i].bookmark, mark)) return page * kPageRows + static_cast<int>(i);
  if (isAt(0)) return 0;
  if (isAt(rows - 1)) return rows - 1;
  try {
    int recNo = t.RecNo();
    return recNo > 0 ? recNo - 1 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

int TDataSetModel::CurrentRow() const {
  if (!source_ || !source_->Active()) return -1;
  if (!currentKnown_) {
    currentRow_ = LocateCurrentRow();
    currentKnown_ = true;
  }
  return currentRow_;
}

void TDataSetModel::MoveToRow(int row) {
  if (!source_ || !source_->Active() || row < 0 || row == CurrentRow()) return;
  TBookmark mark;
  if (sort_ != TGridSort::None) {
    if (!BuildOrder() || row >= static_cast<int>(order_.size())) return;
    mark = order_[static_cast<size_t>(row)];
  } else {
    const Row* r = RowAt(row);
    if (!r) return;
    mark = r->bookmark;
  }
  try {
    source_->DataSet()->GotoBookmark(mark);
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    beginResetModel();
    reader_.reset();
    DropRows();
    endResetModel();
  }
}

void TDataSetModel::SortBy(int column, TGridSort order) {
  if (column < 0 || column >= columnCount()) order = TGridSort::None;
  beginResetModel();
  sort_ = order;
  sortColumn_ = order == TGridSort::None ? -1 : column;
  DropRows();
  endResetModel();
  emit CurrentRowChanged(CurrentRow());
}

void TDataSetModel::DataEvent(TDataEvent event, int info) {
  switch (event) {
    case TDataEvent::ActiveChanged:
      Reset();
      break;
    case TDataEvent::RecordChanged: {
      int previous = currentKnown_ ? currentRow_ : -1;
      bool inserting = source_ && source_->State() == TDataSetState::Insert;
      if (RecordsChanged()) {
        // Records may have come, gone or changed (post, delete, refresh, another user): read
        // them again when they are next shown.
        beginResetModel();
        inserting_ = inserting;
        if (reader_ && source_ && source_->Active()) {
          const TStoreTable& t = *source_->DataSet();
          if (reader_->Filter() != t.Filter() || reader_->Filtered() != t.Filtered() ||
              !(reader_->FilterOptions() == t.FilterOptions()))
            reader_.reset();
        }
        if (reader_) {
          try {
            reader_->Refresh();
          } catch (const std::exception&) {
            reader_.reset();
          }
        }
        DropRows();
        currentRow_ = previous;  // a hint for finding the row again
        endResetModel();
      } else if (inserting != inserting_) {
        // The row of a record being inserted comes or goes.
        beginResetModel();
        inserting_ = inserting;
        currentKnown_ = false;
        endResetModel();
      } else {
        // Only the cursor moved.
        currentKnown_ = false;
        if (previous >= 0 && previous < rowCount())
          emit dataChanged(index(previous, 0), index(previous, columnCount() - 1));
      }
      emit CurrentRowChanged(CurrentRow());
      break;
    }
    case TDataEvent::StateChanged:
    case TDataEvent::FieldChanged: {
      int row = CurrentRow();
      if (row >= 0) emit dataChanged(index(row, 0), index(row, columnCount() - 1));
      break;
    }
    case TDataEvent::UpdateRecord:
      break;
  }
}

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), model_(new TDataSetModel(this)) {
  setObjectName("DBGrid1");
  setModel(model_);
  // The current record shows as a selected row; the selected column is the one Find compares.
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  // F2 or typing edits a cell in place; a double click opens the site's Url instead.
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::AnyKeyPressed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setSectionsClickable(true);
  horizontalHeader()->setSortIndicatorShown(false);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &TDBGrid::HeaderClicked);
  connect(model_, &TDataSetModel::CurrentRowChanged, this, &TDBGrid::FollowCurrentRow);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex& previous) {
            if (following_ || !current.isValid()) return;
            if (selectedColumn_ != current.column()) {
              selectedColumn_ = current.column();
              emit SelectedColumnChanged();
            }
            if (previous.isValid() && current.row() == previous.row()) return;
            model_->MoveToRow(current.row());
          });
  // A reset of the model makes the header forget its sections: their state is kept before and
  // given back after, for the same columns.
  connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
    if (!columnsKey_.isEmpty()) columnStates_[columnsKey_] = horizontalHeader()->saveState();
  });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    QString key = ColumnsKey();
    auto kept = columnStates_.find(key);
    if (key == columnsKey_ && kept != columnStates_.end())
      horizontalHeader()->restoreState(kept->second);
    FollowCurrentRow(model_->CurrentRow());
  });
  connect(model_, &TDataSetModel::ColumnsChanged, this, [this] {
    // Other columns: as the person left them when they were shown before, else fitted.
    columnsKey_ = ColumnsKey();
    auto kept = columnStates_.find(columnsKey_);
    if (kept == columnStates_.end() || !horizontalHeader()->restoreState(kept->second))
      FitColumns();
    horizontalHeader()->setSortIndicatorShown(false);
    emit SelectedColumnChanged();
  });
}

QString TDBGrid::ColumnsKey() const {
  QStringList names;
  for (int c = 0; c < model_->columnCount(); ++c)
    names << model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
  return names.join('|');
}

QModelIndex TDBGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
  QModelIndex moved = QTableView::moveCursor(cursorAction, modifiers);
  if ((cursorAction == MoveHome || cursorAction == MoveEnd) && (modifiers & Qt::ControlModifier) &&
      moved.isValid())
    return model_->index(moved.row(), SelectedIndex());
  return moved;
}

bool TDBGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  bool byKey = trigger == EditKeyPressed || trigger == AnyKeyPressed;
  if (byKey && index.isValid() && !model_->IsBooleanColumn(index.column()) &&
      !(model_->flags(index) & Qt::ItemIsEditable)) {
    // Only keys that would type something or F2: arrows and shortcuts pass on quietly.
    auto* key =
        event && event->type() == QEvent::KeyPress ? static_cast<QKeyEvent*>(event) : nullptr;
    bool asked = trigger == EditKeyPressed ||
                 (key && !key->text().isEmpty() && key->text().at(0).isPrint() &&
                  !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)));
    if (asked) emit EditRefused(model_->NotEditableReason(index.column()));
    return false;
  }
  return QTableView::edit(index, trigger, event);
}

QString TDBGrid::SelectedColumnName() const {
  if (model_->columnCount() == 0) return {};
  return model_->headerData(SelectedIndex(), Qt::Horizontal, Qt::DisplayRole).toString();
}

void TDBGrid::FollowCurrentRow(int row) {
  if (row < 0) return;
  following_ = true;
  setCurrentIndex(model_->index(row, SelectedIndex()));
  following_ = false;
}

void TDBGrid::FitColumns() {
  QHeaderView* header = horizontalHeader();
  QFontMetrics cells = fontMetrics();
  QFontMetrics captions = header->fontMetrics();
  // Room for the header's margins and its sort arrow, and for a cell's margins.
  int headerRoom = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header) +
                   style()->pixelMetric(QStyle::PM_HeaderMarkSize, nullptr, header) + 8;
  int cellRoom = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 12;
  int checkWidth = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this) + cellRoom;
  int dateWidth = cells.horizontalAdvance(ToQ(WidestDateTimeText(TStoreSession::Default())));
  int widest = cells.averageCharWidth() * 60;
  int rows = std::min(model_->rowCount(), TDataSetModel::kPageRows);
  for (int c = 0; c < model_->columnCount(); ++c) {
    QString caption = model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    int width = captions.horizontalAdvance(caption) + headerRoom;
    TFieldType type = model_->ColumnType(c);
    if (model_->IsBooleanColumn(c)) {
      width = std::max(width, checkWidth);
    } else if (type == TFieldType::DateTime || type == TFieldType::Date ||
               type == TFieldType::Time) {
      width = std::max(width, dateWidth + cellRoom);
    } else {
      int content = cells.averageCharWidth() * 6;
      for (int r = 0; r < rows; ++r)
        content = std::max(
            content, cells.horizontalAdvance(model_->index(r, c).data(Qt::DisplayRole).toString()));
      width = std::max(width, std::min(content + cellRoom, widest));
    }
    setColumnWidth(c, width);
  }
}

void TDBGrid::HeaderClicked(int column) {
  TGridSort next = TGridSort::Ascending;
  if (model_->SortColumn() == column)
    next = model_->Sort() == TGridSort::Ascending ? TGridSort::Descending : TGridSort::None;
  model_->SortBy(column, next);
  QHeaderView* header = horizontalHeader();
  if (next == TGridSort::None) {
    header->setSortIndicatorShown(false);
  } else {
    header->setSortIndicatorShown(true);
    header->setSortIndicator(
        column, next == TGridSort::Ascending ? Qt::AscendingOrder : Qt::DescendingOrder);
  }
  scrollTo(currentIndex(), QAbstractItemView::PositionAtCenter);
}

void TDBGrid::SetDataSource(TDataSource* source) {
  model_->SetDataSource(source);
}

int TDBGrid::SelectedIndex() const {
  // The column the person chose stays selected while the rows are read again (a reset of the
  // model forgets the view's current index) and while the current row follows the dataset.
  int columns = model_->columnCount();
  return selectedColumn_ < columns ? selectedColumn_ : 0;
}

}  // namespace quellor
