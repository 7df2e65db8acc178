// The variable manager: deferred registration, record allocation in a segment,
// and iteration over a segment's records. One process-wide mutex, constant-
// initialised so variables built by any static constructor can use it, guards
// every manager's deferred list and every registration; record allocation is
// further serialised across processes by the segment's region lock.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "utils/shared_vars/shared_variable.hpp"

namespace {

constinit std::mutex registrationMutex;

constexpr size_t RECORD_LEN = sizeof(SharedMemoryVariable_Record);
constexpr size_t LONGEST_NAME = 65534;  // varNameLength is 16 bits with the NUL

}  // namespace

// Built before every default-priority static object; fields left as the
// zero-initialisation made them, so earlier deferred variables survive.
SharedMemoryVariableManager DEFAULT_sharedMemoryVariableManager __attribute__((init_priority(105)))(true);

SharedMemoryVariableManager::SharedMemoryVariableManager(bool keepFields) {
  if (!keepFields) {
    deferredList = nullptr;
    bfrMgr = nullptr;
    regionBase = nullptr;
    regionLength = 0;
    retiredRegions = nullptr;
  }
}

SharedMemoryVariableManager::~SharedMemoryVariableManager() {
  std::lock_guard<std::mutex> guard(registrationMutex);
  delete deferredList;
  deferredList = nullptr;
  if (reinterpret_cast<uintptr_t>(bfrMgr) == 8) {
    std::fputs("THIS PROGRAM IS NOT LINKED CORRECTLY\n", stderr);
  } else {
    delete bfrMgr;
  }
  bfrMgr = nullptr;
  if (retiredRegions != nullptr) {
    for (BufferRegion* region : *retiredRegions) delete region;
    delete retiredRegions;
    retiredRegions = nullptr;
  }
}

void SharedMemoryVariableManager::retireRegionLocked() {
  if (bfrMgr == nullptr) return;
  if (retiredRegions == nullptr) retiredRegions = new std::list<BufferRegion*>;
  retiredRegions->push_back(bfrMgr);
  bfrMgr = nullptr;
}

void SharedMemoryVariable::registerWith(SharedMemoryVariableManager* manager) { registerNow(manager, true); }

void SharedMemoryVariable::registerNow(SharedMemoryVariableManager* manager, bool callHook) {
  if (manager == nullptr) return;
  std::lock_guard<std::mutex> guard(registrationMutex);
  variableManager = manager;
  if (manager->bfrMgr != nullptr) {
    manager->allocateLocked(this, callHook);
  } else {
    manager->deferLocked(this);
  }
}

SharedMemoryVariableManager* SharedMemoryVariable::managerOf(const SharedMemoryVariableNode* parentNode) {
  if (parentNode == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(registrationMutex);
  return parentNode->variableManager;
}

void SharedMemoryVariable::withdraw() { SharedMemoryVariableManager::forgetDeferred(this); }

SharedMemoryVariable::~SharedMemoryVariable() { withdraw(); }

// The manager and the registered flag are read under the mutex: another
// thread may be taking the variable over or registering it.
void SharedMemoryVariableManager::forgetDeferred(SharedMemoryVariable* variable) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  SharedMemoryVariableManager* manager = variable->variableManager;
  if (manager != nullptr && variable->registered == 0 && manager->deferredList != nullptr) {
    manager->deferredList->remove(variable);
  }
}

void SharedMemoryVariableManager::deferLocked(SharedMemoryVariable* variable) {
  variable->registered = 0;
  variable->variableManager = this;
  if (deferredList == nullptr) deferredList = new smv_list_t;
  deferredList->push_back(variable);
}

void SharedMemoryVariableManager::allocateLocked(SharedMemoryVariable* variable, bool callHook) {
  size_t nameLength;
  const char* name = variable->getName(&nameLength);
  if (nameLength > LONGEST_NAME) nameLength = LONGEST_NAME;
  SharedBufferAllocRecord* rec = bfrMgr->allocateBlock(variable->minLength + RECORD_LEN + nameLength + 1);
  if (rec == nullptr) return;  // segment full: the value stays in the object
  auto* record = reinterpret_cast<SharedMemoryVariable_Record*>(bfrMgr->blockAddress(rec));
  record->recordType = variable->dataType;
  record->allocatedLength = rec->blockLen;
  int64_t parentOffset = 0;
  const SharedMemoryVariableNode* parent = variable->parentNodeRecord;
  if (parent != nullptr && parent->registered != 0) {
    const auto* at = reinterpret_cast<const unsigned char*>(parent->dataPointer);
    if (at >= regionBase && at < regionBase + regionLength) parentOffset = at - regionBase;
  }
  std::memcpy(&record->parentNodeOffset, &parentOffset, sizeof parentOffset);
  std::memcpy(record->varName, name, nameLength);
  record->varName[nameLength] = '\0';
  // release: name, type and lengths are complete before a reader sees the
  // name length; pairs with the acquire load of readers of a live segment.
  // The value follows like any later store (the text hook needs the length).
  __atomic_store_n(&record->varNameLength, static_cast<uint16_t>(nameLength + 1), __ATOMIC_RELEASE);
  if (callHook) variable->noteNowRegistered(record);
  // release: the copied value is in place before a reader follows the pointer.
  __atomic_store_n(&variable->dataPointer, record, __ATOMIC_RELEASE);
  variable->registered = 1;
  variable->variableManager = this;
}

void SharedMemoryVariableManager::allocateDeferredLocked() {
  smv_list_t* list = deferredList;
  deferredList = nullptr;
  if (list == nullptr) return;
  for (SharedMemoryVariable* variable : *list) allocateLocked(variable, true);
  delete list;
}

void SharedMemoryVariableManager::allocateVariable(SharedMemoryVariable* variable) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (bfrMgr != nullptr && variable != nullptr) allocateLocked(variable, true);
}

void SharedMemoryVariableManager::allocateDeferredVariables() {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (bfrMgr != nullptr) allocateDeferredLocked();
}

bool SharedMemoryVariableManager::registerVariable(SharedMemoryVariable* variable) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (bfrMgr == nullptr) {
    deferLocked(variable);
    return false;
  }
  allocateLocked(variable, true);
  return true;
}

void SharedMemoryVariableManager::registerVariables(int count, SharedMemoryVariable** variables) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  for (int i = 0; i < count; ++i) {
    if (bfrMgr == nullptr) {
      deferLocked(variables[i]);
    } else {
      allocateLocked(variables[i], true);
    }
  }
}

int SharedMemoryVariableManager::takeDeferredRegistrations(SharedMemoryVariableManager* other) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (other == nullptr || other == this || other->deferredList == nullptr) return 0;
  smv_list_t* list = other->deferredList;
  other->deferredList = nullptr;
  for (SharedMemoryVariable* variable : *list) variable->variableManager = this;
  if (deferredList != nullptr) {
    deferredList->splice(deferredList->end(), *list);
    delete list;
    return 1;
  }
  if (bfrMgr == nullptr) {
    deferredList = list;
    return 1;
  }
  for (SharedMemoryVariable* variable : *list) allocateLocked(variable, true);
  delete list;
  return 2;
}

size_t SharedMemoryVariableManager::deferredCount() const {
  std::lock_guard<std::mutex> guard(registrationMutex);
  return deferredList != nullptr ? deferredList->size() : 0;
}

void SharedMemoryVariableManager::attachExistingSegment(void* ptr, size_t len) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  retireRegionLocked();
  regionBase = static_cast<unsigned char*>(ptr);
  regionLength = len;
  bfrMgr = new FixedBufferManager(ptr, len);
}

void SharedMemoryVariableManager::attachExistingSegment(BufferRegion* region) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (region != bfrMgr) retireRegionLocked();
  bfrMgr = region;
  regionBase = region != nullptr ? region->getBufferBase() : nullptr;
  regionLength = region != nullptr ? region->getRegionLength() : 0;
}

void SharedMemoryVariableManager::initializeSegment(void* ptr, size_t len, const char* component) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  retireRegionLocked();
  regionBase = static_cast<unsigned char*>(ptr);
  regionLength = len;
  bfrMgr = new FixedBufferManager(ptr, len, 64, component, SMV_MAGIC_NUMBER);
  allocateDeferredLocked();
}

void SharedMemoryVariableManager::initializeSegment(BufferRegion* region) {
  std::lock_guard<std::mutex> guard(registrationMutex);
  if (region != bfrMgr) retireRegionLocked();
  bfrMgr = region;
  regionBase = region != nullptr ? region->getBufferBase() : nullptr;
  regionLength = region != nullptr ? region->getRegionLength() : 0;
  if (bfrMgr != nullptr) allocateDeferredLocked();
}

SharedMemoryVariable_Record* SharedMemoryVariableManager::recordAfter(const void* allocRecord,
                                                                      size_t allocRecordLen) const {
  if (allocRecord == nullptr) return nullptr;
  const auto* at = static_cast<const unsigned char*>(allocRecord) + allocRecordLen;
  if (at + RECORD_LEN > regionBase + regionLength) return nullptr;
  return reinterpret_cast<SharedMemoryVariable_Record*>(const_cast<unsigned char*>(at));
}

SharedMemoryVariable_Record* SharedMemoryVariableManager::iterateOver32BitSegment(SharedBufferAllocRecord_32** cursor) {
  if (bfrMgr == nullptr || cursor == nullptr) return nullptr;
  SharedBufferAllocRecord* rec = *cursor == nullptr ? bfrMgr->getActiveListHead() : bfrMgr->traverseNextBlock(*cursor);
  *cursor = rec;
  return recordAfter(rec, sizeof(SharedBufferAllocRecord_32));
}

SharedMemoryVariable_Record* SharedMemoryVariableManager::iterateOver64BitSegment(SharedBufferAllocRecord_64** cursor) {
  if (bfrMgr == nullptr || cursor == nullptr) return nullptr;
  SharedBufferAllocRecord* rec =
      *cursor == nullptr ? bfrMgr->getActiveListHead()
                         : bfrMgr->traverseNextBlock(reinterpret_cast<SharedBufferAllocRecord*>(*cursor));
  *cursor = reinterpret_cast<SharedBufferAllocRecord_64*>(rec);
  return recordAfter(rec, sizeof(SharedBufferAllocRecord_64));
}
