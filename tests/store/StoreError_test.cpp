#include "store/api/StoreError.h"

#include <gtest/gtest.h>

using namespace quellor;

TEST(StoreError, MessagesFillFormatTextsInOrder) {
  struct Case {
    uint16_t code;
    std::initializer_list<std::string> args;
    const char* what;
  };
  const Case cases[] = {
      {11010, {"x.DAT"}, "Store Engine Error # 11010 Invalid path or file name for table 'x.DAT'"},
      {11013, {"cracks.DAT"}, "Store Engine Error # 11013 Access denied to table 'cracks.DAT'"},
      {9729, {"Primary", "cracks.DAT"},
       "Store Engine Error # 9729 Duplicate key found in index 'Primary' of table 'cracks.DAT'"},
      {11016, {}, "Store Engine Error # 11016 There is insufficient operating system memory "
                  "available for the current operation"},
      {4242, {"t.DAT"}, "Store Engine Error # 4242 Unknown error occurred with table 't.DAT'"},
  };
  for (const auto& c : cases) {
    EStoreEngineError e(c.code, c.args);
    EXPECT_STREQ(e.what(), c.what);
    EXPECT_EQ(e.ErrorCode(), c.code);
    ASSERT_EQ(e.ErrorCount(), 1);
  }
}

TEST(StoreError, MessageIsCutTo254Characters) {
  EStoreEngineError e(10051, {"cracks.DAT", std::string(400, 'x')});
  EXPECT_EQ(e.Errors()[0].Message.size(), 254u);
  EXPECT_EQ(e.Errors()[0].Message.rfind("Filter error for table 'cracks.DAT' - xxx", 0), 0u);
}
