// Shared pieces of the command-line tools: verb tables, option parsing, JSON text, progress.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kv::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Parsed command line of one verb: positional words and "--name value" / "--flag" options.
class Args {
 public:
  // `flags` are options without a value; every other "--x" takes the next word.
  Args(int argc, char** argv, const std::vector<std::string>& flags);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::vector<std::string>& positional() const { return positional_; }
  bool Has(const std::string& name) const { return options_.count(name) != 0; }
  std::optional<std::string> Get(const std::string& name) const;
  // Integer option; false (with error text) when present but not a number in range.
  bool GetInt(const std::string& name, int64_t minimum, int64_t maximum, int64_t* value, std::string* error) const;
  // The archive or image password: --password P, or the first line of --password-file F ("-" for
  // standard input), which keeps it out of the process list. False (with error text) when both are
  // given or the file cannot be read.
  bool GetPassword(std::optional<std::string>* password, std::string* error) const;
  // Every value of a repeatable option, in command-line order.
  std::vector<std::string> GetAll(const std::string& name) const;
  // Options that no verb asked about.
  std::vector<std::string> Unknown(const std::vector<std::string>& known) const;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> options_;
  std::vector<std::pair<std::string, std::string>> all_;
  std::string error_;
};

struct Verb {
  std::string name;
  std::string summary;
  std::string usage;  // printed by --help
  std::function<int(int argc, char** argv)> run;
  bool group = false;  // has verbs of its own, which answer --help themselves
};

// Runs argv[1] from `verbs`; handles --help and unknown verbs.
int Dispatch(const std::string& program, const std::string& description, const std::vector<Verb>& verbs, int argc,
             char** argv);

// Registration of verbs from separate source files into one program's table.
std::vector<Verb>& Registry();
struct RegisterVerb {
  explicit RegisterVerb(Verb v) { Registry().push_back(std::move(v)); }
};

// JSON string literal of UTF-8 text.
std::string JsonString(const std::string& s);

// Progress line on stderr when it is a terminal: "label  45% (x of y)".
class Progress {
 public:
  Progress(std::string label, uint64_t total);
  void Update(uint64_t done);
  void Finish();

 private:
  std::string label_;
  uint64_t total_;
  bool tty_;
  int lastPercent_ = -1;
};

// UTF-16 <-> UTF-8 for names crossing to the terminal.
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string Utf8ToUtf16(const std::string& s);

// An output named by the user. A file that did not exist before is created; anything else (an
// existing file, a device, a pipe) is opened as it is and never removed. Devices and pipes take a
// stream: `seekable()` says whether holes and a final length may be set.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // False with errno set when the output cannot be opened.
  bool Open(const std::string& path);
  int fd() const { return fd_; }
  bool seekable() const { return seekable_; }
  // Closes; false with errno set when the last writes failed.
  bool Close();
  // After a failure: closes, and removes the output only when this object created it.
  void Discard();

 private:
  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool seekable_ = false;
};

}  // namespace kv::cli
