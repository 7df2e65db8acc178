// Log statements of the file-reading sources: every source under this folder
// belongs to the `io` component, whose mask ("io_logMask") gates them.
#pragma once

#ifndef THIS_COMPONENT
#define THIS_COMPONENT io
#endif
#include "utils/logging/logging_api.hpp"
