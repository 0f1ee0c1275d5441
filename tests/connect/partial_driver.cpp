// Test driver module that exports a single entry point, under the decorated
// name with a leading underscore.
#include "data/data_oper.h"

extern "C" __attribute__((visibility("default"))) int _Connect_Handle(DBDataMgr*, int, const char*,
                                                                      const char*, const char*,
                                                                      const char*, int) {
    return 7;
}
