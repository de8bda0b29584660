#include "store/Repair.h"

#include "store/StoreError.h"

namespace quellor {

bool CheckTable(TDataDirectory&, const std::string&, bool, TRepairEvents&) {
  throw EDatabaseError("Verify and repair are not available yet");
}

}  // namespace quellor
