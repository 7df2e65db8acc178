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

// ---------------------------------------------------------------------------
// Naming nodes and standalone variables.
//
// A standalone variable keeps its value inside its own object until a shared
// segment exists to register it in (deferred registration). This program never
// creates a segment, so the value always lives in the object. Construction is
// constexpr: a variable with a constant initial value is constant-initialised
// and therefore valid during every static constructor of the program, whatever
// the order of translation units.
// ---------------------------------------------------------------------------

// A node of the naming tree: the parent part of a variable's full name
// ("LOG.app_logMask"). Holds pointers only; names must outlive the node.
class SharedMemoryVariableNode {
 public:
  constexpr explicit SharedMemoryVariableNode(const char* nodeName,
                                              SharedMemoryVariableNode* parentNode = nullptr)
      : name(nodeName), parent(parentNode) {}

  const char* getName() const { return name; }
  SharedMemoryVariableNode* getParent() const { return parent; }

 private:
  const char* name;
  SharedMemoryVariableNode* parent;
};

// Maps a value type to its SMV_TYPE_* code at compile time.
template <typename T>
struct SMV_TypeCodeOf;
template <>
struct SMV_TypeCodeOf<int32_t> {
  static constexpr SharedMemoryVariable::SharedMemoryVariableType code = SharedMemoryVariable::SMV_TYPE_INT32;
};
template <>
struct SMV_TypeCodeOf<uint32_t> {
  static constexpr SharedMemoryVariable::SharedMemoryVariableType code = SharedMemoryVariable::SMV_TYPE_UINT32;
};
template <>
struct SMV_TypeCodeOf<int64_t> {
  static constexpr SharedMemoryVariable::SharedMemoryVariableType code = SharedMemoryVariable::SMV_TYPE_INT64;
};
template <>
struct SMV_TypeCodeOf<uint64_t> {
  static constexpr SharedMemoryVariable::SharedMemoryVariableType code = SharedMemoryVariable::SMV_TYPE_UINT64;
};
template <>
struct SMV_TypeCodeOf<double> {
  static constexpr SharedMemoryVariable::SharedMemoryVariableType code = SharedMemoryVariable::SMV_TYPE_DOUBLE;
};

// A named numeric value. Reads and writes are plain, unsynchronised loads and
// stores of `value` (a mask change by one thread is seen by another thread's
// next read); `value` is public so that a log statement's mask test is a single
// load from a fixed address.
template <typename T>
class SMV_StandaloneNumeric : public SharedMemoryVariable {
 public:
  constexpr SMV_StandaloneNumeric(SharedMemoryVariableNode* parentNode, const char* variableName,
                                  T initialValue)
      : value(initialValue), parent(parentNode), name(variableName) {}
  constexpr SMV_StandaloneNumeric(const char* variableName, T initialValue)
      : value(initialValue), parent(nullptr), name(variableName) {}

  SMV_StandaloneNumeric(const SMV_StandaloneNumeric&) = delete;
  SMV_StandaloneNumeric& operator=(const SMV_StandaloneNumeric&) = delete;

  T getValue() const { return value; }
  void setValue(T newValue) { value = newValue; }
  operator T() const { return value; }
  SMV_StandaloneNumeric& operator=(T newValue) {
    value = newValue;
    return *this;
  }
  SMV_StandaloneNumeric& operator|=(T bits) {
    value |= bits;
    return *this;
  }
  SMV_StandaloneNumeric& operator&=(T bits) {
    value &= bits;
    return *this;
  }
  SMV_StandaloneNumeric& operator+=(T amount) {
    value += amount;
    return *this;
  }

  const char* getName() const { return name; }
  SharedMemoryVariableNode* getParent() const { return parent; }
  static constexpr SharedMemoryVariableType getType() { return SMV_TypeCodeOf<T>::code; }

  // The value itself (in the object: registration is deferred).
  T value;

 private:
  SharedMemoryVariableNode* parent;
  const char* name;
};
