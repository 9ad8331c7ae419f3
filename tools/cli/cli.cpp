#include "tools/cli/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kv::cli {

Args::Args(int argc, char** argv, const std::vector<std::string>& flags) {
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a.substr(2);
      std::string value;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      } else if (std::find(flags.begin(), flags.end(), name) == flags.end()) {
        if (i + 1 >= argc) {
          error_ = "option --" + name + " needs a value";
          return;
        }
        value = argv[++i];
      }
      options_[name] = value;
      all_.emplace_back(name, value);
    } else if (a == "-o" && i + 1 < argc) {
      options_["output"] = argv[++i];
    } else if (a == "-h") {
      options_["help"] = "";
    } else {
      positional_.push_back(a);
    }
  }
}

std::optional<std::string> Args::Get(const std::string& name) const {
  auto it = options_.find(name);
  if (it == options_.end()) return std::nullopt;
  return it->second;
}

bool Args::GetPassword(std::optional<std::string>* password, std::string* error) const {
  auto file = Get("password-file");
  *password = Get("password");
  if (!file) return true;
  if (*password) {
    *error = "give either --password or --password-file";
    return false;
  }
  FILE* in = *file == "-" ? stdin : std::fopen(file->c_str(), "rb");
  if (!in) {
    *error = *file + ": cannot be read";
    return false;
  }
  // Only the first line is read, and a password is never cut short.
  constexpr size_t kLongest = 4096;
  std::string line;
  bool tooLong = false;
  for (int c; (c = std::fgetc(in)) != EOF && c != '\n';) {
    if (line.size() == kLongest) {
      tooLong = true;
      break;
    }
    line.push_back(static_cast<char>(c));
  }
  const bool failed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (failed || tooLong) {
    *error = *file + (failed ? ": cannot be read" : ": the password is longer than 4096 bytes");
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *password = line;
  return true;
}

bool Args::GetInt(const std::string& name, int64_t minimum, int64_t maximum, int64_t* value, std::string* error) const {
  auto v = Get(name);
  if (!v) return true;
  char* end = nullptr;
  errno = 0;
  const long long x = std::strtoll(v->c_str(), &end, 0);
  if (v->empty() || *end != '\0' || errno != 0 || x < minimum || x > maximum) {
    *error = "--" + name + " must be a number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
    return false;
  }
  *value = x;
  return true;
}

std::vector<std::string> Args::GetAll(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& [k, v] : all_)
    if (k == name) out.push_back(v);
  return out;
}

std::vector<std::string> Args::Unknown(const std::vector<std::string>& known) const {
  std::vector<std::string> out;
  for (const auto& [k, v] : options_)
    if (k != "help" && std::find(known.begin(), known.end(), k) == known.end()) out.push_back(k);
  return out;
}

std::vector<Verb>& Registry() {
  static std::vector<Verb> verbs;
  return verbs;
}

int Dispatch(const std::string& program, const std::string& description, const std::vector<Verb>& verbs, int argc,
             char** argv) {
  auto usage = [&](FILE* out) {
    std::fprintf(out, "%s — %s\n\nUsage: %s VERB [options]   (%s VERB --help for details)\n\nVerbs:\n", program.c_str(),
                 description.c_str(), program.c_str(), program.c_str());
    std::vector<const Verb*> sorted;
    for (const auto& v : verbs) sorted.push_back(&v);
    std::sort(sorted.begin(), sorted.end(), [](const Verb* a, const Verb* b) { return a->name < b->name; });
    for (const Verb* v : sorted) std::fprintf(out, "  %-10s %s\n", v->name.c_str(), v->summary.c_str());
  };
  if (argc < 2) {
    usage(stderr);
    return kExitUsage;
  }
  const std::string verb = argv[1];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    usage(stdout);
    return kExitOk;
  }
  for (const auto& v : verbs) {
    if (v.name != verb) continue;
    for (int i = 2; i < argc && !(v.group && i > 2); ++i) {
      const std::string a = argv[i];
      if (a == "--help" || a == "-h") {
        std::printf("%s\n", v.usage.c_str());
        return kExitOk;
      }
    }
    return v.run(argc - 2, argv + 2);
  }
  std::fprintf(stderr, "%s: unknown verb '%s'\n", program.c_str(), verb.c_str());
  usage(stderr);
  return kExitUsage;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

Progress::Progress(std::string label, uint64_t total) : label_(std::move(label)), total_(total), tty_(isatty(2)) {}

void Progress::Update(uint64_t done) {
  if (!tty_ || total_ == 0) return;
  const int pct = static_cast<int>(done * 100 / total_);
  if (pct == lastPercent_) return;
  lastPercent_ = pct;
  std::fprintf(stderr, "\r%s %3d%% (%llu of %llu)", label_.c_str(), pct, static_cast<unsigned long long>(done),
               static_cast<unsigned long long>(total_));
  std::fflush(stderr);
}

void Progress::Finish() {
  if (tty_ && lastPercent_ >= 0) std::fprintf(stderr, "\n");
}

std::string Utf16ToUtf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0 && i + 1 < s.size()) {
      c = ((b & 0x1F) << 6) | (s[i + 1] & 0x3F);
      n = 2;
    } else if ((b & 0xF0) == 0xE0 && i + 2 < s.size()) {
      c = ((b & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
      n = 3;
    } else if ((b & 0xF8) == 0xF0 && i + 3 < s.size()) {
      c = ((b & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
      n = 4;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
}

bool OutputFile::Open(const std::string& path) {
  path_ = path;
  // O_EXCL first: whether this run created the file must be known for certain before it may
  // ever be removed.
  fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  created_ = fd_ >= 0;
  if (fd_ < 0 && errno == EEXIST) fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat st {};
  seekable_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  if (seekable_ && !created_ && ftruncate(fd_, 0) != 0) return false;
  return true;
}

bool OutputFile::Close() {
  if (fd_ < 0) return true;
  const int rc = close(fd_);
  fd_ = -1;
  return rc == 0;
}

void OutputFile::Discard() {
  const int saved = errno;
  Close();
  if (created_) unlink(path_.c_str());
  created_ = false;
  errno = saved;
}

}  // namespace kv::cli
