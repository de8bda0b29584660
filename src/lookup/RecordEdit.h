// One change of the current record of a table: edit, set fields, post. When the change fails
// and it was this call that put the record into edit state, the edit is cancelled, so the
// record is left as it was and unlocked; an edit the person had already begun is left to them.
#pragma once

#include "store/api/StoreTb.h"

namespace quellor {

template <typename SetFields>
void ChangeRecord(TStoreTable& table, SetFields&& setFields) {
  const bool begun = table.State() == TDataSetState::Browse;
  table.Edit();
  try {
    setFields();
    table.Post();
  } catch (...) {
    if (begun && table.State() != TDataSetState::Browse) table.Cancel();
    throw;
  }
}

}  // namespace quellor
