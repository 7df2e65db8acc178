// Log statements of the narvelix tool: every source of the tool belongs to the
// `app` component (the logging API's default, so THIS_COMPONENT stays unset).
// NARVELIX_TEXT(text, length) inserts a text that is not NUL-terminated, such
// as a field read back from the row store.
#pragma once

#include "utils/base/compiler_hints.hpp"
#include "utils/logging/logging_api.hpp"

#define NARVELIX_TEXT(text, length) AS_TEXT_BUFFER((text), (length))
