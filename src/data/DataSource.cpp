#include "data/DataSource.h"

#include <algorithm>

namespace quellor {

TDataLink::~TDataLink() {
  AttachTo(nullptr);
}

void TDataLink::AttachTo(TDataSource* source) {
  if (source_ == source) return;
  if (source_) source_->RemoveLink(this);
  source_ = source;
  if (source_) source_->AddLink(this);
}

TDataSource::TDataSource(TStoreDataSet* dataSet) {
  SetDataSet(dataSet);
}

TDataSource::~TDataSource() {
  if (dataSet_) dataSet_->RemoveListener(this);
}

void TDataSource::SetDataSet(TStoreDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  if (dataSet_) dataSet_->RemoveListener(this);
  dataSet_ = dataSet;
  if (dataSet_) dataSet_->AddListener(this);
  SetHeld(false, {});
  Broadcast(TDataEvent::ActiveChanged, 0);
}

void TDataSource::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) Broadcast(TDataEvent::ActiveChanged, 0);
}

void TDataSource::AddLink(TDataLink* link) {
  if (std::find(links_.begin(), links_.end(), link) == links_.end()) links_.push_back(link);
}

void TDataSource::RemoveLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

void TDataSource::DataSetEvent(TDataEvent event, int info) {
  // A move, a new dataset or the record taken for editing ends the holding (the controls then
  // show the record anew, or store what they kept).
  if (event == TDataEvent::RecordChanged || event == TDataEvent::ActiveChanged ||
      (event == TDataEvent::StateChanged && State() != TDataSetState::Browse))
    SetHeld(false, {});
  Broadcast(event, info);
}

void TDataSource::HoldChanges(const std::string& holder) {
  SetHeld(true, holder);
}

void TDataSource::DropHeldChanges() {
  if (!held_) return;
  SetHeld(false, {});
  Broadcast(TDataEvent::RecordChanged, 0);
}

void TDataSource::SetHeld(bool held, const std::string& holder) {
  bool changed = held != held_;
  held_ = held;
  if ((changed || held) && OnHeldChanged) OnHeldChanged(held, holder);
}

void TDataSource::Broadcast(TDataEvent event, int info) {
  if (!enabled_) return;
  std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (std::find(links_.begin(), links_.end(), link) != links_.end()) link->DataEvent(event, info);
}

}  // namespace quellor
