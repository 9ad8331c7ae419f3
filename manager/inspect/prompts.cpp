#include "manager/inspect/prompts.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "common/texts.h"
#include "platform/wide_text.h"

namespace kv::inspect {

std::u16string DefaultTextLookup(uint16_t id) {
  return std::u16string(texts::DefaultText(id));
}

namespace {

std::string Narrow(std::u16string_view text) {
  std::string s = platform::Utf16ToUtf8(text);
  // The boxes' line breaks are "\r\n"; a terminal wants "\n".
  std::string out;
  for (char c : s)
    if (c != '\r') out += c;
  return out;
}

// Ctrl-C during a hidden read: the terminal gets its echo back before the process ends.
int gQuietFd = -1;
termios gSavedTerminal{};
extern "C" void RestoreTerminalAndStop(int signal) {
  if (gQuietFd >= 0) tcsetattr(gQuietFd, TCSANOW, &gSavedTerminal);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

// One line from the terminal; nothing at end of input.
std::optional<std::string> ReadTerminalLine(bool echo) {
  // Without a terminal on standard input (scripts, services) nobody can answer.
  if (!isatty(STDIN_FILENO)) return std::nullopt;
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return std::nullopt;
  termios saved{};
  const bool isTerminal = tcgetattr(fileno(tty), &saved) == 0;
  if (!echo && isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    gSavedTerminal = saved;
    gQuietFd = fileno(tty);
    std::signal(SIGINT, RestoreTerminalAndStop);
    std::signal(SIGTERM, RestoreTerminalAndStop);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  std::string line;
  bool got = false;
  for (int c; (c = std::fgetc(tty)) != EOF;) {
    got = true;
    if (c == '\n') break;
    if (line.size() < 4096) line += static_cast<char>(c);
  }
  if (!echo && isTerminal) {
    tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    gQuietFd = -1;
  }
  std::fclose(tty);
  if (!got) return std::nullopt;
  return line;
}

}  // namespace

std::optional<std::u16string> ConsolePrompts::AskPassword(std::u16string_view prompt, const std::string& path) {
  if (passwordFromFile_) {
    // The file's answer is given once: asking again would only repeat it.
    if (fileAnswerUsed_) return std::nullopt;
    fileAnswerUsed_ = true;
    return platform::Utf8ToUtf16(*passwordFromFile_);
  }
  if (!isatty(STDIN_FILENO)) return std::nullopt;
  std::fprintf(stderr, "%s %s\n", Narrow(prompt).c_str(), path.c_str());
  std::fflush(stderr);
  const auto line = ReadTerminalLine(false);
  if (!line || line->empty()) return std::nullopt;  // an empty edit leaves OK disabled
  return platform::Utf8ToUtf16(*line);
}

bool ConsolePrompts::WrongPassword(std::u16string_view text) {
  std::fprintf(stderr, "%s\n", Narrow(text).c_str());
  return !passwordFromFile_ && isatty(STDIN_FILENO);
}

VolumesAnswer ConsolePrompts::AskMissingVolumes(const MissingVolumes& volumes, bool skipAllowed,
                                                const std::vector<std::u16string>& texts) {
  auto text = [&](size_t i) { return i < texts.size() ? Narrow(texts[i]) : std::string(); };
  std::fprintf(stderr, "%s\n%s %s\n%s\n", text(0).c_str(), text(1).c_str(), volumes.folder.c_str(), text(2).c_str());
  for (const auto& name : volumes.missing) std::fprintf(stderr, "  %s\n", name.c_str());
  std::fprintf(stderr, "%s: answer %s\"retry\" or \"cancel\"\n", text(3).c_str(), skipAllowed ? "\"skip\", " : "");
  const auto line = ReadTerminalLine(true);
  if (!line) return {};
  if (*line == "skip" && skipAllowed) return {true, true};
  if (*line == "retry") return {true, false};
  return {};
}

void ConsolePrompts::ShowComment(const std::string& comment) {
  std::fprintf(stderr, "%s\n%s\n", Narrow(texts::DefaultText(870)).c_str(), comment.c_str());
}

void ConsolePrompts::ShowError(const std::u16string& text) {
  std::fprintf(stderr, "%s\n", Narrow(text).c_str());
}

std::optional<std::u16string> ScriptedPrompts::AskPassword(std::u16string_view, const std::string& path) {
  shown.push_back("password: " + path);
  if (passwords.empty()) return std::nullopt;
  auto answer = passwords.front();
  passwords.pop_front();
  return answer;
}

bool ScriptedPrompts::WrongPassword(std::u16string_view text) {
  shown.push_back("wrong: " + platform::Utf16ToUtf8(text));
  if (wrongPasswordAnswers.empty()) return true;
  const bool answer = wrongPasswordAnswers.front();
  wrongPasswordAnswers.pop_front();
  return answer;
}

VolumesAnswer ScriptedPrompts::AskMissingVolumes(const MissingVolumes& volumes, bool,
                                                 const std::vector<std::u16string>&) {
  std::string names;
  for (const auto& n : volumes.missing) names += (names.empty() ? "" : ",") + n;
  shown.push_back("volumes: " + names);
  if (volumeAnswers.empty()) return {};
  const auto answer = volumeAnswers.front();
  volumeAnswers.pop_front();
  return answer;
}

void ScriptedPrompts::ShowComment(const std::string& comment) {
  shown.push_back("comment: " + comment);
}

void ScriptedPrompts::ShowError(const std::u16string& text) {
  shown.push_back("error: " + platform::Utf16ToUtf8(text));
}

}  // namespace kv::inspect
