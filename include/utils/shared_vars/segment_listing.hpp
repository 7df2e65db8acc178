// Listing the variables of a shared-variable segment as text, one
// "path/name = type value" line per record in registration order, from a
// segment of either layout and either byte order. The segment is untrusted
// input (a file of unknown origin, or one another process is writing): every
// offset is checked against the segment before it is followed, a record met a
// second time ends the walk as a loop, and names and texts are read
// only inside their allocations. Records still being registered (name length
// 0) are skipped.
#pragma once

#include <cstddef>
#include <string>

// Appends one line per variable to `out`. Returns true, or false with a
// one-line reason (no newline) in `error` when the segment is damaged; lines
// of the records before the damage stay in `out`.
bool listSegmentVariables(const unsigned char* segment, size_t segmentLength, std::string& out, std::string& error);
