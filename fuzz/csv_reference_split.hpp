// Reference CSV line splitter for tests and the splitter fuzzer: the same
// field rules as CSV_File::parseIntoFields, written byte by byte for clarity
// rather than speed, producing every field (also beyond the pointer limit).
// A backslash before the closing quote keeps the quote, except when the quote
// character is the backslash itself (then no backslash was written to keep).
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> referenceSplit(const std::string& line, const std::string& separators,
                                               const std::string& quotes) {
  std::vector<std::string> fields;
  if (line.empty()) return fields;
  std::string field;
  int quote = -1;  // current quote character, -1 outside quotes
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote < 0 && quotes.find(c) != std::string::npos) {
      quote = static_cast<unsigned char>(c);
    } else if (quote < 0 && separators.find(c) != std::string::npos) {
      fields.push_back(field);
      field.clear();
    } else if (quote >= 0 && static_cast<unsigned char>(c) == quote) {
      if (i > 0 && line[i - 1] == '\\' && c != '\\') {
        field.back() = c;
      } else {
        quote = -1;
      }
    } else {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}
