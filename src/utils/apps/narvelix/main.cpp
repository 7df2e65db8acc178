// Entry of the narvelix tool: removes the log flags, scans the options into one
// ConvertOptions record and a list of inputs, then converts the inputs one
// after another. Exit status: 0 when every input converted cleanly, 1 when a
// conversion reported an error (or on a usage error), 255 when an input could
// not be opened.
#include <cstdio>
#include <cstring>
#include <vector>

#include "utils/apps/narvelix/narvelix.hpp"
#include "utils/apps/narvelix/narvelix_log.hpp"

namespace {

constexpr std::size_t OUTPUT_NAME_BYTES = 8192;
// Room left behind a copied input name for the ".metadata" suffix.
constexpr std::size_t MAX_COPIED_INPUT_NAME = OUTPUT_NAME_BYTES - 17;

void printUsage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--cpp] [--dense] [--reorder] [-o outputFile] [--name structName] "
               "[--magic magicNumber] [{--delete srcColumn]} ...] [{--rename srcColumn "
               "destColumnName} ...] {[-i] fileName} [...]\n",
               program);
  std::fprintf(stderr, "    --stdout recognized as output file name\n");
  std::fprintf(stderr, "    --cpp emits C++ header describing format\n");
  std::fprintf(stderr, "    --dense emits potentially unaligned data\n");
  std::fprintf(stderr, "    --reorder reorganizes record layout for best alignment\n");
  std::fprintf(stderr, "    --name allows structure name to be assigned, defaults to %s\n",
               Narvelix::DEFAULT_structureName);
  std::fprintf(stderr, "    --magic allows assignment of magic number, defaults to %s\n",
               Narvelix::DEFAULT_magicNumber);
  std::fprintf(stderr, "    --rename allows columns to be renamed\n");
  std::fprintf(stderr, "    --delete allows columns to be removed\n");
}

// Bounded copy that always terminates: at most size - 1 characters are kept.
void copyTerminated(char* dest, std::size_t size, const char* src) {
  const std::size_t n = strnlen(src, size - 1);
  std::memcpy(dest, src, n);
  dest[n] = '\0';
}

// The output name for an input when no -o was given: a trailing ".csv" or
// ".CSV" becomes ".metadata", any other name gets ".metadata" appended.
void deriveOutputName(char* out, const char* inputName) {
  copyTerminated(out, MAX_COPIED_INPUT_NAME + 1, inputName);
  char* period = std::strrchr(out, '.');
  if (period != nullptr && (std::strcmp(period + 1, "csv") == 0 || std::strcmp(period + 1, "CSV") == 0)) {
    std::strcpy(period + 1, "metadata");
  } else {
    std::strcat(out, ".metadata");
  }
}

// C++20 keywords and alternative tokens: none of them can name a struct.
constexpr const char* CPP_KEYWORDS[] = {
    "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break",
    "case", "catch", "char", "char8_t", "char16_t", "char32_t", "class", "compl", "concept",
    "const", "consteval", "constexpr", "constinit", "const_cast", "continue", "co_await",
    "co_return", "co_yield", "decltype", "default", "delete", "do", "double", "dynamic_cast",
    "else", "enum", "explicit", "export", "extern", "false", "float", "for", "friend", "goto", "if",
    "inline", "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq", "nullptr",
    "operator", "or", "or_eq", "private", "protected", "public", "register", "reinterpret_cast",
    "requires", "return", "short", "signed", "sizeof", "static", "static_assert", "static_cast",
    "struct", "switch", "template", "this", "thread_local", "throw", "true", "try", "typedef",
    "typeid", "typename", "union", "unsigned", "using", "virtual", "void", "volatile", "wchar_t",
    "while", "xor", "xor_eq",
};

// A letter or '_', then letters, digits and '_' (ASCII only), at most
// MAX_STRUCTURE_NAME characters, and not a keyword: the text names the
// generated struct and its include guard.
bool isCppIdentifier(const char* text) {
  const auto isLetter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!isLetter(text[0])) return false;
  for (std::size_t length = 1; text[length] != '\0'; ++length) {
    if (length == Narvelix::MAX_STRUCTURE_NAME) return false;
    const char c = text[length];
    if (!isLetter(c) && !(c >= '0' && c <= '9')) return false;
  }
  for (const char* keyword : CPP_KEYWORDS) {
    if (std::strcmp(text, keyword) == 0) return false;
  }
  return true;
}

// An option given as the last word(s) without its argument(s): nothing is converted.
int missingArgument(const char* program, const char* option) {
  std::fprintf(stderr, "%s: option \"%s\" requires an argument\n", program, option);
  return 1;
}

}  // namespace

int main(int argc, const char** argv) {
  LogMessageRecord::process_commandline_log_flags(&default_LogSubsystemInfo, argc, argv, &argc, argv);
  if (argc < 2) return 0;

  static Narvelix::ColumnOverrideSpecification overrides[Narvelix::MAX_COLS];
  Narvelix::ConvertOptions opt;
  opt.externalOverrides = overrides;
  std::vector<const char*> inputs;
  const char* outputFile = "";
  const char* program = argv[0];

  for (int a = 1; a < argc; ++a) {
    const char* word = argv[a];
    const int argsLeft = argc - 1 - a;
    auto is = [word](const char* name) { return std::strcmp(word, name) == 0; };
    if (is("--help") || is("-help") || is("-h")) {
      printUsage(program);
      return 1;
    } else if (is("-o") || is("--output")) {
      if (argsLeft < 1) return missingArgument(program, word);
      outputFile = argv[++a];
    } else if (is("-i") || is("--input")) {
      if (argsLeft < 1) return missingArgument(program, word);
      inputs.push_back(argv[++a]);
    } else if (is("--stdin")) {
      inputs.push_back(word);
    } else if (is("--cpp")) {
      opt.emitCPPheaders = true;
    } else if (is("--meta")) {
      opt.emitCPPdescription = true;
    } else if (is("--dense")) {
      opt.useDensePacking = true;
    } else if (is("--reorder")) {
      opt.reorderFields = true;
    } else if (is("--name")) {
      if (argsLeft < 1) return missingArgument(program, word);
      const char* name = argv[++a];
      if (!isCppIdentifier(name)) {
        std::fprintf(stderr, "%s: --name \"%s\" is not a C++ identifier\n", program, name);
        return 1;
      }
      copyTerminated(opt.structureName, sizeof opt.structureName, name);
    } else if (is("--magic")) {
      if (argsLeft < 1) return missingArgument(program, word);
      const char* magic = argv[++a];
      std::memset(opt.magicNumber, 0, sizeof opt.magicNumber);
      std::memcpy(opt.magicNumber, magic, strnlen(magic, sizeof opt.magicNumber));
    } else if (is("--delete") || is("--rename")) {
      const bool rename = is("--rename");
      const int needed = rename ? 2 : 1;
      if (argsLeft < needed) return missingArgument(program, word);
      if (opt.overrideCount >= Narvelix::MAX_COLS) {
        std::fprintf(stderr, "%s: too many --delete/--rename options (at most %d)\n", program,
                     static_cast<int>(Narvelix::MAX_COLS));
        return 1;
      }
      Narvelix::ColumnOverrideSpecification& entry = overrides[opt.overrideCount];
      copyTerminated(entry.renameFrom, sizeof entry.renameFrom, argv[++a]);
      // The name field is 16 bytes and _null follows it, but a new name keeps
      // at most 15 characters.
      copyTerminated(entry.fieldName, sizeof entry.fieldName, rename ? argv[++a] : "");
      ++opt.overrideCount;
    } else if (is("-v")) {
      opt.verbose = 1;
    } else if (word[0] == '-') {
      std::fprintf(stderr, "%s: unrecognized option: \"%s\"\n", program, word);
      return 1;
    } else {
      inputs.push_back(word);
    }
  }
  if (inputs.empty()) return 0;

  int exitResult = 0;
  static char outputName[OUTPUT_NAME_BYTES];
  for (const char* input : inputs) {
    const char* useOutput = outputFile;
    if (outputFile[0] == '\0') {
      deriveOutputName(outputName, input);
      useOutput = outputName;
    }
    exitResult |= convertFile(input, useOutput, &opt);
  }
  return exitResult;
}
