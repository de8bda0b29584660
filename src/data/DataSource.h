// TDataSource: links a dataset to the data-aware controls that show and edit its current record.
//
// The controls register a TDataLink with the source; the source listens to its dataset and
// passes every event on. Pointing the source at another dataset (or at none) re-attaches all its
// controls at once, which is how the grid switches between the site table and a query, and how
// an import runs with the controls detached. A query stays bound while its results come and go:
// it tells the source as each opens and closes.
//
// Typing on a record that another user is editing: the record cannot be taken, so the dataset
// stays in browse and the controls keep what was typed ("held" changes). Post takes the record
// then and stores the typing; Cancel, Esc or a move to another record drops it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "store/api/StoreTb.h"

namespace quellor {

class TDataSource;

// What a data-aware control registers with its source. The link leaves its source when it is
// destroyed.
class TDataLink {
 public:
  virtual ~TDataLink();
  // The dataset's event (see TDataEvent); ActiveChanged is also sent when the source changes
  // its dataset or is enabled again.
  virtual void DataEvent(TDataEvent event, int info) = 0;
  TDataSource* DataSource() const { return source_; }

 protected:
  // Registers with `source` (null: none), leaving the source before.
  void AttachTo(TDataSource* source);

  TDataSource* source_ = nullptr;
};

class TDataSource : public TDataSetListener {
 public:
  explicit TDataSource(TStoreDataSet* dataSet = nullptr);
  ~TDataSource() override;
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  // The table cursor the controls read and edit: the table (open or closed), or the open result
  // of a query (null while the query is closed).
  TStoreTable* DataSet() const { return dataSet_ ? dataSet_->CursorTable() : nullptr; }
  // The dataset bound to the source: a table or a query.
  TStoreDataSet* BoundDataSet() const { return dataSet_; }
  void SetDataSet(TStoreDataSet* dataSet);
  // A disabled source passes nothing on; enabling it makes every control show the record anew.
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);

  // True when the dataset is open.
  bool Active() const { return dataSet_ && dataSet_->Active(); }
  TDataSetState State() const { return Active() ? dataSet_->State() : TDataSetState::Inactive; }

  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);

  void DataSetEvent(TDataEvent event, int info) override;

  // Held changes (above). Holding calls OnHeldChanged with the user who edits the record ("":
  // the store cannot tell); dropping makes every control show the stored values again.
  bool HeldChanges() const { return held_; }
  void HoldChanges(const std::string& holder);
  void DropHeldChanges();
  std::function<void(bool held, const std::string& holder)> OnHeldChanged;

 private:
  void Broadcast(TDataEvent event, int info);

  TStoreDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  bool held_ = false;
  std::vector<TDataLink*> links_;
  void SetHeld(bool held, const std::string& holder);
};

}  // namespace quellor
