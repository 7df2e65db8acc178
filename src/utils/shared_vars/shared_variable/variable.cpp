// Variable objects and naming nodes: construction (registering with the
// manager or deferring), names, and the full name through the parent chain.
#include <cstdio>
#include <cstring>

#include "utils/shared_vars/shared_variable.hpp"

namespace {
constexpr int MAX_ANCESTORS = 16;
}  // namespace

SharedMemoryVariable_Record SharedMemoryVariable::unallocated_data{};

SharedMemoryVariable::SharedMemoryVariable(SharedMemoryVariableManager* manager, const char* name, uint8_t type,
                                           uint32_t minimumLength)
    : SharedMemoryVariable(RegisterLater{}, nullptr, name, type, minimumLength) {
  registerNow(manager, false);  // nothing derived to copy: the record starts empty
}

SharedMemoryVariable::SharedMemoryVariable(SharedMemoryVariableNode* parentNode, const char* name, uint8_t type,
                                           uint32_t minimumLength)
    : SharedMemoryVariable(RegisterLater{}, parentNode, name, type, minimumLength) {
  registerNow(managerOf(parentNode), false);
}

void SharedMemoryVariable::noteNowRegistered(SharedMemoryVariable_Record* /*newArea*/) {}

const char* SharedMemoryVariable::getName(size_t* len) const {
  if (registered != 0 && dataPointer != nullptr) {
    if (len != nullptr) *len = dataPointer->varNameLength > 0 ? dataPointer->varNameLength - 1u : 0u;
    return dataPointer->varName;
  }
  const char* name = variableName != nullptr ? variableName : "";
  if (len != nullptr) *len = std::strlen(name);
  return name;
}

int SharedMemoryVariable::getFullName(char* bfr, size_t bfrLen) const {
  if (parentNodeRecord == nullptr) return std::snprintf(bfr, bfrLen, "%s", getName());
  const SharedMemoryVariable* ancestors[MAX_ANCESTORS];
  int count = 0;
  for (const SharedMemoryVariable* node = parentNodeRecord; node != nullptr && count < MAX_ANCESTORS;
       node = node->parentNodeRecord) {
    ancestors[count++] = node;
  }
  if (bfrLen == 0) return 0;
  size_t used = 0;
  for (int i = count - 1; i >= 0 && used + 1 < bfrLen; --i) {
    size_t nameLength;
    const char* name = ancestors[i]->getName(&nameLength);
    bfr[used++] = '/';
    const size_t room = bfrLen - 1 - used;
    const size_t n = nameLength < room ? nameLength : room;
    std::memcpy(bfr + used, name, n);
    used += n;
  }
  bfr[used] = '\0';
  return static_cast<int>(used);
}

SharedMemoryVariableNode::SharedMemoryVariableNode(const char* name, SharedMemoryVariableManager* manager)
    : SharedMemoryVariable(RegisterLater{}, nullptr, name, SMV_TYPE_NAME_NODE,
                           static_cast<uint32_t>(std::strlen(name))) {
  registerWith(manager);
}

SharedMemoryVariableNode::SharedMemoryVariableNode(const char* name, SharedMemoryVariableNode* parentNode)
    : SharedMemoryVariable(RegisterLater{}, parentNode, name, SMV_TYPE_NAME_NODE,
                           static_cast<uint32_t>(std::strlen(name))) {
  registerWith(managerOf(parentNode));
}

SharedMemoryVariableNode::~SharedMemoryVariableNode() { withdraw(); }

void SharedMemoryVariableNode::noteNowRegistered(SharedMemoryVariable_Record* /*newArea*/) {}
