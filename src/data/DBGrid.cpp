#include "data/DBGrid.h"

#include <QHeaderView>
#include <algorithm>
#include <exception>

#include "app/QtText.h"
#include "data/DBControls.h"

namespace quellor {

TDataSetModel::TDataSetModel(QObject* parent) : QAbstractTableModel(parent) {}

TDataSetModel::~TDataSetModel() {
  if (source_) source_->RemoveLink(this);
}

void TDataSetModel::SetDataSource(TDataSource* source) {
  if (source_) source_->RemoveLink(this);
  source_ = source;
  if (source_) source_->AddLink(this);
  Reset();
}

void TDataSetModel::Reset() {
  beginResetModel();
  reader_.reset();
  readerRow_ = -1;
  rowCount_ = -1;
  pages_.clear();
  pageOrder_.clear();
  pagesRead_ = 0;
  columns_.clear();
  if (source_ && source_->Active()) {
    TStoreTable& t = *source_->DataSet();
    for (int i = 0; i < t.FieldCount(); ++i) columns_.push_back(ToQ(t.Fields(i).FieldName()));
  }
  endResetModel();
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

int TDataSetModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !source_ || !source_->Active()) return 0;
  if (rowCount_ < 0) {
    rowCount_ = 0;
    if (OpenReader()) {
      try {
        rowCount_ = reader_->RecordCount();
      } catch (const std::exception& e) {
        ReportDataControlError(e.what());
      }
    }
  }
  int rows = rowCount_;
  // A record being inserted shows as one more row at the end.
  if (source_->State() == TDataSetState::Insert) ++rows;
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

const std::vector<TDataSetModel::Row>* TDataSetModel::Page(int page) const {
  auto it = pages_.find(page);
  if (it != pages_.end()) {
    pageOrder_.erase(std::find(pageOrder_.begin(), pageOrder_.end(), page));
    pageOrder_.push_back(page);
    return &it->second;
  }
  if (!OpenReader()) return nullptr;
  std::vector<Row> rows;
  try {
    TStoreTable& r = *reader_;
    int first = page * kPageRows;
    // Paging on from the page read last continues where the reader stands; a jump positions it
    // through the index counts.
    if (first != readerRow_) {
      if (first == 0) {
        r.First();
      } else {
        r.SetRecNo(first + 1);
        if (r.RecNo() != first + 1) return nullptr;
      }
    }
    readerRow_ = -1;
    int read = 0;
    for (int i = 0; i < kPageRows && !r.Eof(); ++i) {
      Row row;
      row.bookmark = r.GetBookmark();
      row.values.reserve(static_cast<size_t>(r.FieldCount()));
      for (int c = 0; c < r.FieldCount(); ++c) row.values.push_back(ToQ(r.Fields(c).AsString()));
      rows.push_back(std::move(row));
      ++read;
      r.Next();
    }
    if (read == kPageRows && !r.Eof()) readerRow_ = first + read;
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

QString TDataSetModel::CurrentValue(int column) const {
  TStoreTable& t = *source_->DataSet();
  try {
    return ToQ(t.Fields(column).AsString());
  } catch (const std::exception&) {
    return {};
  }
}

QVariant TDataSetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
  if (!source_ || !source_->Active()) return {};
  TDataSetState state = source_->State();
  if (state != TDataSetState::Browse && index.row() == CurrentRow())
    return CurrentValue(index.column());
  if (index.row() >= rowCount_) return {};
  const std::vector<Row>* page = Page(index.row() / kPageRows);
  if (!page) return {};
  size_t i = static_cast<size_t>(index.row() % kPageRows);
  if (i >= page->size()) return {};
  const auto& values = (*page)[i].values;
  size_t c = static_cast<size_t>(index.column());
  return c < values.size() ? values[c] : QVariant();
}

int TDataSetModel::CurrentRow() const {
  if (!source_ || !source_->Active()) return -1;
  TStoreTable& t = *source_->DataSet();
  if (t.State() == TDataSetState::Insert) return rowCount_ >= 0 ? rowCount_ : -1;
  try {
    int recNo = t.RecNo();
    return recNo > 0 ? recNo - 1 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

void TDataSetModel::MoveToRow(int row) {
  if (!source_ || !source_->Active() || row < 0 || row == CurrentRow()) return;
  const std::vector<Row>* page = Page(row / kPageRows);
  size_t i = static_cast<size_t>(row % kPageRows);
  if (!page || i >= page->size()) return;
  try {
    source_->DataSet()->GotoBookmark((*page)[i].bookmark);
  } catch (const std::exception& e) {
    ReportDataControlError(e.what());
    Reset();
  }
}

void TDataSetModel::DataEvent(TDataEvent event, int info) {
  switch (event) {
    case TDataEvent::ActiveChanged:
      Reset();
      break;
    case TDataEvent::RecordChanged: {
      // Records may have come, gone or changed (post, delete, refresh, another user): read the
      // pages again when they are next shown.
      beginResetModel();
      rowCount_ = -1;
      readerRow_ = -1;
      pages_.clear();
      pageOrder_.clear();
      // A new filter on the table (a view command) is a new reader: it copies the filter only
      // when it opens.
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
      endResetModel();
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
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  connect(model_, &TDataSetModel::CurrentRowChanged, this, [this](int row) {
    if (row < 0) return;
    following_ = true;
    setCurrentIndex(model_->index(row, SelectedIndex()));
    following_ = false;
  });
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex& previous) {
            if (following_ || !current.isValid()) return;
            selectedColumn_ = current.column();
            if (previous.isValid() && current.row() == previous.row()) return;
            model_->MoveToRow(current.row());
          });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] {
    int row = model_->CurrentRow();
    if (row >= 0) {
      following_ = true;
      setCurrentIndex(model_->index(row, SelectedIndex()));
      following_ = false;
    }
  });
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
