// Shared memory variables: named, typed values (masks, counters, statistics,
// short texts) that other processes can read while the program runs. This
// header carries the type codes, which are also the field type codes of the
// metadata file format and the base codes of log argument types.
#pragma once

#include <cstdint>

class SharedMemoryVariable {
 public:
  // Type codes. SMV_TYPE_UNSIGNED and SMV_TYPE_LARGE are modifier bits of the
  // integer codes: INT32 + 1 is UINT32, + 2 is INT64, + 3 is UINT64.
  enum SharedMemoryVariableType : uint16_t {
    SMV_TYPE_NONE = 0,
    SMV_TYPE_UNSIGNED = 1,
    SMV_TYPE_LARGE = 2,
    SMV_TYPE_INT32 = 4,
    SMV_TYPE_UINT32 = 5,
    SMV_TYPE_INT64 = 6,
    SMV_TYPE_UINT64 = 7,
    SMV_TYPE_FLOAT = 8,
    SMV_TYPE_FIXED = 9,
    SMV_TYPE_DOUBLE = 10,
    SMV_TYPE_TINY_STRING = 16,
    SMV_TYPE_TINY_BINARY_STRING = 17,
    SMV_TYPE_STRING = 18,
    SMV_TYPE_BINARY_STRING = 19,
    SMV_TYPE_NAME_NODE = 32,
  };
};
