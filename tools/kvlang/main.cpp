// kvlang: compiles the readable form of a language into a ".lng" file and dumps ".lng" files.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "manager/language.h"

using namespace kv::manager;

namespace {

const char kHelp[] =
    "Usage:\n"
    "  kvlang compile SOURCE.txt -o FILE.lng   compile the text form into a language file\n"
    "  kvlang dump FILE.lng [-o SOURCE.txt]    print a language file in the text form\n"
    "  kvlang check FILE.lng                   tell whether the file is a valid language file\n"
    "\n"
    "Text form, one directive per line ('#' starts a comment):\n"
    "  langid 1031 | name \"Deutsch\" | second-name \"German\" | font-face \"Tahoma\" | font-size 8\n"
    "  text ID \"text\"            a plain text (menus, messages)\n"
    "  dialog ID                 the control lines below belong to this dialog (ID 2..65535)\n"
    "  control ID \"text\"         a control text; control 0xFFFF \"key\" \"text\" carries a key text\n"
    "  declared N, header-extra N  optional header fields (default: the exact entry count, 0)\n"
    "Escapes in texts: \\\\ \\\" \\r \\n \\t \\uXXXX.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

int Usage(const std::string& msg) {
  std::fprintf(stderr, "kvlang: %s (see kvlang --help)\n", msg.c_str());
  return 2;
}

bool ReadAll(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

bool WriteAll(const std::string& path, const void* data, size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  f.close();
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  if (args.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  const std::string verb = args[0];
  std::string input, output;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size()) return Usage("-o needs a file name");
      output = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage("unknown option " + args[i]);
    } else if (input.empty()) {
      input = args[i];
    } else {
      return Usage("too many arguments");
    }
  }
  if (input.empty()) return Usage("input file missing");

  if (verb == "compile") {
    if (output.empty()) return Usage("compile needs -o FILE.lng");
    std::string source;
    if (!ReadAll(input, &source)) {
      std::fprintf(stderr, "kvlang: %s: cannot read: %s\n", input.c_str(), std::strerror(errno));
      return 1;
    }
    LanguageTable table;
    std::string error;
    if (!CompileLanguageSource(source, &table, &error)) {
      std::fprintf(stderr, "kvlang: %s: %s\n", input.c_str(), error.c_str());
      return 1;
    }
    const std::vector<uint8_t> bytes = SerializeLanguageFile(table);
    LanguageTable check;
    const LanguageFileError e = ParseLanguageFile(bytes.data(), bytes.size(), &check);
    if (e != LanguageFileError::None) {
      std::fprintf(stderr, "kvlang: %s: the result would be invalid: %s\n", input.c_str(), LanguageFileErrorText(e));
      return 1;
    }
    if (!WriteAll(output, bytes.data(), bytes.size())) {
      std::fprintf(stderr, "kvlang: %s: cannot write: %s\n", output.c_str(), std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (verb == "dump" || verb == "check") {
    LanguageTable table;
    const LanguageFileError e = LoadLanguageFile(input, &table);
    if (e != LanguageFileError::None) {
      std::fprintf(stderr, "kvlang: %s: not a valid language file: %s\n", input.c_str(), LanguageFileErrorText(e));
      return 1;
    }
    if (verb == "check") {
      std::printf("%s: valid, LANGID %u, %zu entries\n", input.c_str(), table.langId, table.entries.size());
      return 0;
    }
    const std::string text = LanguageSource(table);
    if (output.empty()) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      return 0;
    }
    if (!WriteAll(output, text.data(), text.size())) {
      std::fprintf(stderr, "kvlang: %s: cannot write: %s\n", output.c_str(), std::strerror(errno));
      return 1;
    }
    return 0;
  }
  return Usage("unknown verb " + verb);
}
