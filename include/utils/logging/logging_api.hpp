// Structured log statements: per-component severity masks, the statement forms
// (LOG_CERR, LOG_COUT, LOG_WHEN, LOG_INTO, ...), the message record they fill,
// its text rendering and the log managers that write the finished lines.
//
// Declaring a source file's component. Every source file belongs to one log
// component, `app` (the tool, the default) or `io` (file reading and I/O).
// Define THIS_COMPONENT before the first log statement of the file, normally
// at the top before the includes:
//
//     #define THIS_COMPONENT io
//     #include "utils/logging/logging_api.hpp"
//
// Without a definition the file belongs to `app`. A statement names its level
// either bare (`LOG_CERR(error)`: the level of THIS_COMPONENT) or with a
// component prefix (`LOG_CERR(io_warning)`); a prefixed level is tested
// against that component's mask whatever THIS_COMPONENT is.
//
//     LOG_CERR(app_error) << "Could not open file \"" << fileName << "\"" << LOG_ENDLINE;
//     LOG_CERR(io_warning) << "short read of " << byteCount << " bytes" << LOG_ENDLINE;
//
// A statement is a complete statement: it opens a block that its ending
// (LOG_ENDLINE, ENDREC, AS_PLAIN_TEXT, ...) closes, so put braces around it
// when it is the body of an if/else. A disabled statement evaluates none of
// its values and costs one load, one mask test and one branch. An enabled one
// builds a LogMessageRecord (about 120 KB) on the calling thread's stack.
//
// Inserted values: const char* / char* / std::string_view (text, copied at
// once), char, every integer type (int, unsigned, long, size_t, int64_t, ...:
// signed 32-bit and smaller as %d, unsigned as %u, 64-bit as %ld / %lu), bool
// (0/1), float and double (%g: shortest text that reads back the same),
// const void* (%p), TextBlock_struct / AS_TEXT_BUFFER(p, len),
// HexadecimalBlock_struct / AS_HEXADECIMAL_BUFFER(p, len, lowercase),
// EscapedTextBlock_struct / AS_ESCAPED_TEXT_BUFFER(p, len), fixed-point
// values (VariableFixedPointValue, or AS_FIXED_POINT(value, precision)), and
// POSIX nanoseconds through AS_POSIX_NANOSECONDS(ns). Pointer-held values
// (text blocks, hexadecimal blocks) must stay valid until the ending returns.
//
// Rendered line on standard error with the default configuration (prefix mask
// all ones: date, time, thread id, file:line, label):
//
//     2026/12/06 03:53:07.123456 140245871236928 src/utils/apps/narvelix/main.cpp:42 ERROR Could not open file "x.csv"
//
// Tests can strip everything before the label with LOG_LINE_PREFIX_REGEX, or
// call stripLogLinePrefix(), which returns the "LABEL message" part.
#pragma once

// One header per concern; this one brings them all.
#include "utils/logging/log_values.hpp"      // inserted values, escape tables
#include "utils/logging/log_record.hpp"      // the message record
#include "utils/logging/log_manager.hpp"     // log managers and outputs
#include "utils/logging/log_levels.hpp"      // components, levels, enabling rule
#include "utils/logging/log_macros.hpp"      // statement forms and endings
