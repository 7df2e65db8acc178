// Shared memory variables: named, typed values (masks, counters, statistics,
// short texts) whose storage lives in a segment that other processes can map
// and read while the program runs, and that stays behind in a ".smv" file.
// Names form a tree of naming nodes: /app/io_stats/bytesRead.
//
// A segment is a buffer region (utils/base/circular_bfr.hpp) formatted by a
// FixedBufferManager with the magic "SHMVAR01" and granule 64. Each variable is
// one allocation, never freed: its 20-byte allocation record (40 in the 64-bit
// layout) is followed by the variable's record, so the active list lists every
// variable in registration order. Record fields are in the writer's byte order.
//
// SharedMemoryVariable_Record (64 bytes, 4-byte aligned: in a segment every
// other record starts 4 mod 8, so 64-bit fields are read through memcpy):
//    0  8  numericValue      u64/i64/i32/u32/f/d/tinyString, values start at 0
//    8  8  parentNodeOffset  segment offset of the parent node's record; 0 = none
//   16  4  allocatedLength   blockLen of the allocation (its whole footprint)
//   20  4  usedLength        bytes of a text value with its NUL
//   24  2  recordType        SharedMemoryVariableType code
//   26  2  varNameLength     name length with its NUL; 0 while being written
//   28 36+ varName           name and NUL, continuing into the allocation;
//                            a text value follows at varName + varNameLength
//
// Variables exist long before any segment (usually statics). While their
// manager has no segment they wait on its deferred list, keeping their value in
// a record inside the object; when a segment is created or attached each gets
// its record in registration order and the value moves there. The deferred
// lists and every registration are guarded by one process-wide mutex, so
// variables may be created on any thread; values themselves are plain
// unsynchronised loads and stores (4-byte values as relaxed atomics).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <type_traits>

#include "utils/base/circular_bfr.hpp"

class SharedMemoryVariableNode;
class SharedMemoryVariableManager;

#define SMV_MAGIC_NUMBER "SHMVAR01"

// 64-bit members at 4-byte alignment (a typedef may lower alignment).
typedef uint64_t SMV_Uint64_A4 __attribute__((aligned(4)));
typedef int64_t SMV_Int64_A4 __attribute__((aligned(4)));
typedef double SMV_Double_A4 __attribute__((aligned(4)));

struct SharedMemoryVariable_Record {
  union NumericValue {
    SMV_Uint64_A4 u64;
    SMV_Int64_A4 i64;
    int32_t i32;
    uint32_t u32;
    float f;
    SMV_Double_A4 d;
    char tinyString[8];
  } numericValue;
  SMV_Int64_A4 parentNodeOffset;
  uint32_t allocatedLength;
  uint32_t usedLength;
  uint16_t recordType;
  uint16_t varNameLength;
  char varName[36];

  // Renders the record per displayFlags (SharedMemoryVariable::SMV_DISPLAY_*):
  // "prefix/name = type value", pieces cut when bfr fills. Names and texts are
  // read only within the record's allocation (allocatedLength - 48 bytes from
  // varName; 36 when allocatedLength is smaller). isNative false: fields are
  // byte-swapped first. Returns bfr.
  char* formatAsText(char* bfr, size_t bfrLen, unsigned displayFlags, const char* prefix, bool isNative) const;
  // Writes "/outer/.../parent" for the record's ancestors (at most the 16
  // nearest), following parent offsets only to records that lie inside
  // [segmentBase, segmentBase + segmentLength). Returns the text's length
  // (0 and an empty text without a parent).
  int getPathPrefix(char* bfr, size_t bfrLen, const unsigned char* segmentBase, bool isNative,
                    size_t segmentLength) const;
};
static_assert(sizeof(SharedMemoryVariable_Record) == 64);
static_assert(alignof(SharedMemoryVariable_Record) == 4);
static_assert(offsetof(SharedMemoryVariable_Record, parentNodeOffset) == 8);
static_assert(offsetof(SharedMemoryVariable_Record, allocatedLength) == 16);
static_assert(offsetof(SharedMemoryVariable_Record, usedLength) == 20);
static_assert(offsetof(SharedMemoryVariable_Record, recordType) == 24);
static_assert(offsetof(SharedMemoryVariable_Record, varNameLength) == 26);
static_assert(offsetof(SharedMemoryVariable_Record, varName) == 28);

// Tag of the constant-initialised constructors of start-up variables: they
// register nothing; a start-up hook puts them on a manager's deferred list.
struct SMV_StartupVariable_t {
  explicit constexpr SMV_StartupVariable_t() = default;
};
inline constexpr SMV_StartupVariable_t SMV_STARTUP{};

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
  // Display flags of formatAsText.
  enum { SMV_DISPLAY_NAME = 1, SMV_DISPLAY_VALUE = 2, SMV_DISPLAY_TYPE = 4, SMV_DISPLAY_EQUALS = 8 };

  // "int32", "uint32", "int64", "uint64", "float", "double", "text",
  // "binary", "node"; "unknown" for every other code.
  static const char* typeName(unsigned code);

  // Without a manager: done. Manager without segment: deferred. Manager with a
  // segment: registered at once (the value hook is not called).
  SharedMemoryVariable(SharedMemoryVariableManager* manager, const char* name, uint8_t type, uint32_t minLength);
  // The same with the parent's manager (null parent: no manager).
  SharedMemoryVariable(SharedMemoryVariableNode* parentNode, const char* name, uint8_t type, uint32_t minLength);
  SharedMemoryVariable(const SharedMemoryVariable&) = delete;
  SharedMemoryVariable& operator=(const SharedMemoryVariable&) = delete;
  // A deferred variable leaves its manager's list; the segment is not touched.
  virtual ~SharedMemoryVariable();
  // Called once with the new segment record while dataPointer still points at
  // the old one; the base version does nothing.
  virtual void noteNowRegistered(SharedMemoryVariable_Record* newArea);

  // The hierarchical name: without a parent the own name ("%s", cut to bfrLen,
  // returning snprintf's result); with one "/outer/.../parent" (the 16 nearest
  // ancestors) and its length.
  int getFullName(char* bfr, size_t bfrLen) const;
  // The record's name once registered, variableName before; *len gets its
  // length without the NUL.
  const char* getName(size_t* len = nullptr) const;
  uint8_t getType() const { return dataType; }
  uint32_t getMinLength() const { return minLength; }
  SharedMemoryVariableNode* getParentNode() const { return parentNodeRecord; }
  SharedMemoryVariableManager* getVariableManager() const { return variableManager; }
  bool isRegistered() const { return registered != 0; }

  static SharedMemoryVariable_Record unallocated_data;

  // The record holding the value: in the segment once registered; before that
  // null or a record inside the object. Read on every log statement.
  SharedMemoryVariable_Record* dataPointer;

 protected:
  // For derived classes: stores the fields and publishes nothing. The most
  // derived constructor calls registerWith as its last step, so no other
  // thread can reach a half-built object through the deferred list, and its
  // destructor calls withdraw first.
  struct RegisterLater {};
  constexpr SharedMemoryVariable(RegisterLater, SharedMemoryVariableNode* parentNode, const char* name, uint8_t type,
                                 uint32_t minimumLength)
      : dataPointer(nullptr),
        parentNodeRecord(parentNode),
        variableManager(nullptr),
        variableName(name),
        minLength(minimumLength),
        dataType(type),
        registered(0) {}
  // With a segment: allocated at once (the value hook copies the object's own
  // value); without: deferred; without a manager: nothing.
  void registerWith(SharedMemoryVariableManager* manager);
  // Leaves the deferred list, if still on one.
  void withdraw();
  static SharedMemoryVariableManager* managerOf(const SharedMemoryVariableNode* parentNode);

  constexpr SharedMemoryVariable(SMV_StartupVariable_t, SharedMemoryVariableNode* parentNode, const char* name,
                                 uint8_t type, uint32_t minimumLength, SharedMemoryVariable_Record* ownRecord)
      : SharedMemoryVariable(RegisterLater{}, parentNode, name, type, minimumLength) {
    dataPointer = ownRecord;
  }

 private:
  friend class SharedMemoryVariableManager;
  void registerNow(SharedMemoryVariableManager* manager, bool callHook);

  SharedMemoryVariableNode* parentNodeRecord;
  SharedMemoryVariableManager* variableManager;
  const char* variableName;
  uint32_t minLength;
  uint8_t dataType;
  uint8_t registered;
};

// A node of the naming tree: type SMV_TYPE_NAME_NODE, minLength = the length of
// its name. Must be registered before its children (construction order).
class SharedMemoryVariableNode : public SharedMemoryVariable {
 public:
  SharedMemoryVariableNode(const char* name, SharedMemoryVariableManager* manager);
  SharedMemoryVariableNode(const char* name, SharedMemoryVariableNode* parentNode);
  // A start-up node, constant-initialised, registered by a start-up hook.
  constexpr SharedMemoryVariableNode(SMV_StartupVariable_t tag, const char* name,
                                     SharedMemoryVariableNode* parentNode = nullptr)
      : SharedMemoryVariable(tag, parentNode, name, SMV_TYPE_NAME_NODE,
                             static_cast<uint32_t>(std::char_traits<char>::length(name)), nullptr) {}
  ~SharedMemoryVariableNode() override;
  void noteNowRegistered(SharedMemoryVariable_Record* newArea) override;
};

// Type code of a value type: every integer type by size and sign (4 or 8
// bytes), float and double; 255 (-1 as uint8) for anything else.
template <typename T>
struct SMV_TypeCodeOf {
  static constexpr uint8_t code = []() constexpr -> uint8_t {
    if constexpr (std::is_same_v<T, float>) {
      return SharedMemoryVariable::SMV_TYPE_FLOAT;
    } else if constexpr (std::is_same_v<T, double>) {
      return SharedMemoryVariable::SMV_TYPE_DOUBLE;
    } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && (sizeof(T) == 4 || sizeof(T) == 8)) {
      return static_cast<uint8_t>(SharedMemoryVariable::SMV_TYPE_INT32 + (std::is_unsigned_v<T> ? 1 : 0) +
                                  (sizeof(T) == 8 ? 2 : 0));
    } else {
      return 255;
    }
  }();
};

// A named number. Until registered its value is in initialCopy; afterwards in
// the segment record. Reads and writes go through dataPointer; 4-byte values
// are relaxed atomic loads and stores, 8-byte values memcpy (the record may be
// only 4-aligned). Read-modify-write operators are not atomic.
template <typename T>
class SMV_StandaloneNumeric : public SharedMemoryVariable {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "values are 4 or 8 bytes");

 public:
  // The value starts in initialCopy; with a segment it moves there at once.
  SMV_StandaloneNumeric(const char* name, SharedMemoryVariableManager* manager, T initialValue)
      : SharedMemoryVariable(RegisterLater{}, nullptr, name, SMV_TypeCodeOf<T>::code, sizeof(T)),
        initialCopy(recordHolding(initialValue)) {
    dataPointer = &initialCopy;
    registerWith(manager);
  }
  SMV_StandaloneNumeric(const char* name, SharedMemoryVariableNode* parentNode, T initialValue)
      : SharedMemoryVariable(RegisterLater{}, parentNode, name, SMV_TypeCodeOf<T>::code, sizeof(T)),
        initialCopy(recordHolding(initialValue)) {
    dataPointer = &initialCopy;
    registerWith(managerOf(parentNode));
  }
  // A start-up variable: constant-initialised with its value in place, so a
  // static constructor that reads it first finds the value; a start-up hook
  // puts it on a manager's deferred list.
  constexpr SMV_StandaloneNumeric(SMV_StartupVariable_t tag, const char* name, SharedMemoryVariableNode* parentNode,
                                  T initialValue)
      : SharedMemoryVariable(tag, parentNode, name, SMV_TypeCodeOf<T>::code, sizeof(T), &initialCopy),
        initialCopy(recordHolding(initialValue)) {}
  ~SMV_StandaloneNumeric() override { withdraw(); }

  void noteNowRegistered(SharedMemoryVariable_Record* newArea) override {
    if (dataPointer != nullptr) std::memcpy(&newArea->numericValue, &dataPointer->numericValue, sizeof(T));
  }

  operator T() const { return load(); }
  // The value's address. For 8-byte T a segment record may be only 4-aligned:
  // read through it with memcpy, not by dereferencing.
  const T* getAddress() const { return reinterpret_cast<const T*>(&record()->numericValue); }

  SMV_StandaloneNumeric& operator=(T v) {
    store(v);
    return *this;
  }
  SMV_StandaloneNumeric& operator+=(T v) { return *this = static_cast<T>(load() + v); }
  SMV_StandaloneNumeric& operator-=(T v) { return *this = static_cast<T>(load() - v); }
  SMV_StandaloneNumeric& operator*=(T v) { return *this = static_cast<T>(load() * v); }
  SMV_StandaloneNumeric& operator/=(T v) { return *this = static_cast<T>(load() / v); }
  SMV_StandaloneNumeric& operator|=(T v) requires std::is_integral_v<T> { return *this = static_cast<T>(load() | v); }
  SMV_StandaloneNumeric& operator&=(T v) requires std::is_integral_v<T> { return *this = static_cast<T>(load() & v); }
  SMV_StandaloneNumeric& operator++() { return *this += T(1); }
  SMV_StandaloneNumeric& operator--() { return *this -= T(1); }
  T operator++(int) {
    const T old = load();
    store(static_cast<T>(old + T(1)));
    return old;
  }
  T operator--(int) {
    const T old = load();
    store(static_cast<T>(old - T(1)));
    return old;
  }

  SharedMemoryVariable_Record initialCopy;

 private:
  static constexpr SharedMemoryVariable_Record recordHolding(T v) {
    SharedMemoryVariable_Record r{};
    if constexpr (std::is_same_v<T, float>) {
      r.numericValue.f = v;
    } else if constexpr (std::is_same_v<T, double>) {
      r.numericValue.d = v;
    } else if constexpr (sizeof(T) == 4 && std::is_signed_v<T>) {
      r.numericValue.i32 = static_cast<int32_t>(v);
    } else if constexpr (sizeof(T) == 4) {
      r.numericValue.u32 = static_cast<uint32_t>(v);
    } else if constexpr (std::is_signed_v<T>) {
      r.numericValue.i64 = static_cast<int64_t>(v);
    } else {
      r.numericValue.u64 = static_cast<uint64_t>(v);
    }
    return r;
  }
  // The record pointer may be switched by a registering thread: a relaxed
  // load (a plain load on every target; the new record's value was copied
  // before the release store of the pointer, and the value is reached through
  // the pointer).
  SharedMemoryVariable_Record* record() const { return __atomic_load_n(&dataPointer, __ATOMIC_RELAXED); }
  T load() const {
    T v;
    if constexpr (sizeof(T) == 4) {
      const uint32_t bits = __atomic_load_n(&record()->numericValue.u32, __ATOMIC_RELAXED);
      std::memcpy(&v, &bits, sizeof v);
    } else {
      std::memcpy(&v, &record()->numericValue, sizeof v);
    }
    return v;
  }
  void store(T v) {
    if constexpr (sizeof(T) == 4) {
      uint32_t bits;
      std::memcpy(&bits, &v, sizeof bits);
      __atomic_store_n(&record()->numericValue.u32, bits, __ATOMIC_RELAXED);
    } else {
      std::memcpy(&record()->numericValue, &v, sizeof v);
    }
  }
};

// A named text of up to `Length` bytes. Until registered the text lives in
// `space` (a record and room after it); afterwards in the segment record, at
// varName + varNameLength. The text always keeps its terminating NUL.
template <unsigned Length>
class SMV_StandaloneString : public SharedMemoryVariable {
 public:
  SMV_StandaloneString(const char* name, SharedMemoryVariableManager* manager)
      : SharedMemoryVariable(RegisterLater{}, nullptr, name, SMV_TYPE_STRING, Length) {
    initializeOwnSpace(name);
    registerWith(manager);
  }
  SMV_StandaloneString(const char* name, SharedMemoryVariableNode* parentNode)
      : SharedMemoryVariable(RegisterLater{}, parentNode, name, SMV_TYPE_STRING, Length) {
    initializeOwnSpace(name);
    registerWith(managerOf(parentNode));
  }
  ~SMV_StandaloneString() override { withdraw(); }

  void noteNowRegistered(SharedMemoryVariable_Record* newArea) override {
    newArea->usedLength = copyText(newArea, dataPointer != nullptr ? textOf(dataPointer) : "");
  }
  operator const char*() const { return textOf(dataPointer); }
  SMV_StandaloneString& operator=(const char* text) {
    dataPointer->usedLength = copyText(dataPointer, text != nullptr ? text : "");
    return *this;
  }

  union Space {
    SharedMemoryVariable_Record initialCopy;
    char reservedSpace[Length + 64];
  } space;

 private:
  static char* textOf(SharedMemoryVariable_Record* r) { return r->varName + r->varNameLength; }
  // Copies at most the record's text space, stopping after the NUL; the last
  // byte of the space stays a NUL. Returns the bytes used with the NUL.
  static uint32_t copyText(SharedMemoryVariable_Record* r, const char* text) {
    const int64_t avail = static_cast<int64_t>(r->allocatedLength) - 52 - r->varNameLength;
    if (avail <= 0) return 0;
    char* out = textOf(r);
    const size_t room = static_cast<size_t>(avail) - 1;
    const size_t n = ::strnlen(text, room);
    std::memmove(out, text, n);
    out[n] = '\0';
    return static_cast<uint32_t>(n + 1);
  }
  void initializeOwnSpace(const char* name) {
    std::memset(&space, 0, sizeof space);
    dataPointer = &space.initialCopy;
    // The name itself is not stored here; its length places the text. A name
    // too long for the space leaves no text room (the text reads empty).
    const size_t nameLength = std::strlen(name) + 1;
    constexpr size_t LONGEST = sizeof(Space) - offsetof(SharedMemoryVariable_Record, varName) - 1;
    dataPointer->varNameLength = static_cast<uint16_t>(nameLength < LONGEST ? nameLength : LONGEST);
    dataPointer->allocatedLength = sizeof space;
  }
};

// Keeps the variables of one segment; see the file comment.
class SharedMemoryVariableManager {
 public:
  using smv_list_t = std::list<SharedMemoryVariable*>;

  // false: all fields null. true: fields left as they are (the process-wide
  // manager, whose zero-initialised deferred list may already hold variables
  // of earlier static initialisers).
  explicit SharedMemoryVariableManager(bool keepFields);
  ~SharedMemoryVariableManager();
  SharedMemoryVariableManager(const SharedMemoryVariableManager&) = delete;
  SharedMemoryVariableManager& operator=(const SharedMemoryVariableManager&) = delete;

  // Maps fileName (createMappedFile with `mode`) and closes the descriptor.
  // Null when mapping failed; when magic is given and mode does not reset,
  // also null (after a message, the mapping released) when the file is shorter
  // than 8 bytes or does not start with it.
  static unsigned char* createSegment(const char* fileName, size_t* len, int mode, const char* magic);
  // Attach a formatted segment; the deferred variables stay deferred.
  void attachExistingSegment(void* ptr, size_t len);
  void attachExistingSegment(BufferRegion* region);
  // Format (or adopt) a segment and register the deferred variables in it.
  void initializeSegment(void* ptr, size_t len, const char* component);
  void initializeSegment(BufferRegion* region);
  // Creates "$LOG_DIR/<base>-YYYYMMDD_HHMMSS-host-pid.smv" of *len bytes,
  // formats it and registers the deferred variables. Returns the segment or
  // null (the variables stay deferred).
  unsigned char* createAndAttachStandardSegment(const char* component, size_t* len);

  void allocateVariable(SharedMemoryVariable* variable);
  void allocateDeferredVariables();
  // false: no segment, the variable was deferred; true: registered.
  bool registerVariable(SharedMemoryVariable* variable);
  void registerVariables(int count, SharedMemoryVariable** variables);
  // Moves other's deferred variables here: 0 when other had no list, 1 when
  // they were appended or taken over as a list, 2 when allocated at once.
  int takeDeferredRegistrations(SharedMemoryVariableManager* other);

  // Steps through the variables of the segment: *cursor null starts at the
  // active list head. Returns the record after the allocation record, or null
  // at the end (also at an offset outside the segment).
  SharedMemoryVariable_Record* iterateOver32BitSegment(SharedBufferAllocRecord_32** cursor);
  SharedMemoryVariable_Record* iterateOver64BitSegment(SharedBufferAllocRecord_64** cursor);

  int64_t offsetInSegment(const void* record) const {
    return static_cast<const unsigned char*>(record) - regionBase;
  }
  bool initialized() const { return bfrMgr != nullptr; }
  BufferRegion* getRegion() const { return bfrMgr; }
  size_t deferredCount() const;

 private:
  friend class SharedMemoryVariable;
  // Callers hold the registration mutex.
  void allocateLocked(SharedMemoryVariable* variable, bool callHook);
  void deferLocked(SharedMemoryVariable* variable);
  void allocateDeferredLocked();
  static void forgetDeferred(SharedMemoryVariable* variable);
  SharedMemoryVariable_Record* recordAfter(const void* allocRecord, size_t allocRecordLen) const;

  // Keeps a replaced segment's manager (and so its region) until this
  // manager ends: variables registered there still point into it.
  void retireRegionLocked();

  smv_list_t* deferredList;
  BufferRegion* bfrMgr;
  unsigned char* regionBase;
  size_t regionLength;
  std::list<BufferRegion*>* retiredRegions;  // null until a segment is replaced
};

// The process-wide manager, built at initialisation priority 105 and
// destroyed after every other static object.
extern SharedMemoryVariableManager DEFAULT_sharedMemoryVariableManager;
