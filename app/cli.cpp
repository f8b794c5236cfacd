#include "app/cli.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/batch.h"
#include "app/converter.h"
#include "codecs/common/ascii_case.h"
#include "io/registry.h"

#ifndef VELTRANO_VERSION
#define VELTRANO_VERSION "0.0.0"
#endif

namespace veltrano {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::ordered_json;

const char kUsage[] =
    "Usage: veltrano-cli [OPTION]... [PATH]...\n"
    "Converts every BMP file to PNG and every PNG file to BMP, beside the original, keeping\n"
    "the alpha channel. A folder stands for the BMP and PNG files in it.\n"
    "\n"
    "  -j, --jobs N          convert with N workers on N cores (default: one per core)\n"
    "  -r, --recursive       also convert the files in sub-folders of folders given\n"
    "  -q, --quiet           print only refusals and failures\n"
    "      --files-from FILE also convert the paths listed in FILE (- for standard input),\n"
    "                        one a line, where the option stands among the paths\n"
    "  -0, --null            the lists are NUL-separated (as find -print0 writes them)\n"
    "      --skip-up-to-date skip a file whose target is newer than it\n"
    "      --report FILE     write one JSON object per file and a summary to FILE\n"
    "                        (- for standard output, which then carries nothing else)\n"
    "      --help            show this text\n"
    "      --version         show the version\n"
    "\n"
    "Exit status: 0 when every file was converted or skipped, 1 when any was refused or\n"
    "failed, 2 on a usage error or a list that cannot be read.\n";

bool IsImageName(const fs::path& p) {
  std::string ext = lumenax::AsciiLower(p.extension().string());
  return ext == ".bmp" || ext == ".png";
}

bool ParseJobs(const std::string& text, int& jobs) {
  if (text.empty() || text.size() > 6) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  jobs = std::atoi(text.c_str());
  return jobs >= 1;
}

// Parses the arguments; options may stand anywhere. Returns -1 to go on, else an exit status.
int ParseArguments(int argc, char** argv, CliOptions& o, const CliStreams& s) {
  bool optionsEnded = false;
  auto usageError = [&](const std::string& what) {
    std::fprintf(s.err, "veltrano-cli: %s\nTry 'veltrano-cli --help'.\n", what.c_str());
    return kExitUsage;
  };
  // An option's value: "--name=VALUE" or the next argument.
  auto value = [&](int& i, const std::string& a, const std::string& name, std::string& out) {
    if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0) {
      out = a.substr(name.size() + 1);
      return true;
    }
    if (i + 1 >= argc) return false;
    out = argv[++i];
    return true;
  };
  auto is = [](const std::string& a, const char* name) {
    size_t n = std::strlen(name);
    return a.compare(0, n, name) == 0 && (a.size() == n || a[n] == '=');
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      o.paths.push_back({a, false});
      continue;
    }
    std::string v;
    if (a == "--") {
      optionsEnded = true;
    } else if (a == "--help") {
      std::fputs(kUsage, s.out);
      return kExitOk;
    } else if (a == "--version") {
      std::fprintf(s.out, "veltrano-cli %s\n", VELTRANO_VERSION);
      return kExitOk;
    } else if (a == "-r" || a == "--recursive") {
      o.recursive = true;
    } else if (a == "-q" || a == "--quiet") {
      o.quiet = true;
    } else if (a == "-0" || a == "--null") {
      o.nulSeparated = true;
    } else if (a == "--skip-up-to-date") {
      o.skipUpToDate = true;
    } else if (is(a, "--files-from")) {
      if (!value(i, a, "--files-from", v) || v.empty())
        return usageError("option --files-from needs a file (- for standard input)");
      o.paths.push_back({v, true});
    } else if (is(a, "--report")) {
      if (!value(i, a, "--report", v) || v.empty())
        return usageError("option --report needs a file (- for standard output)");
      o.report = v;
    } else if (a == "-j" || a == "--jobs") {
      if (i + 1 >= argc || !ParseJobs(argv[i + 1], o.jobs))
        return usageError("option " + a + " needs a number of workers (1 or more)");
      ++i;
    } else if (a.rfind("--jobs=", 0) == 0 || (a.rfind("-j", 0) == 0 && a[1] == 'j')) {
      std::string n = a[1] == 'j' ? a.substr(2) : a.substr(7);
      if (!ParseJobs(n, o.jobs)) return usageError("bad number of workers '" + n + "'");
    } else if (a[1] != '-' && a.size() > 2 && a.find_first_not_of("rq0", 1) == std::string::npos) {
      for (char c : a.substr(1))
        (c == 'r' ? o.recursive : c == 'q' ? o.quiet : o.nulSeparated) = true;
    } else {
      return usageError("unknown option '" + a + "'");
    }
  }
  if (o.paths.empty()) return usageError("no file or folder given");
  int stdinLists = 0;
  for (const auto& p : o.paths) stdinLists += p.list && p.name == "-";
  if (stdinLists > 1) return usageError("standard input can be read as a list only once");
  return -1;
}

// Reads a whole list; false with errno when it cannot be read.
bool ReadList(const std::string& name, std::string& text) {
  FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (!f) return false;
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
  bool ok = !std::ferror(f);
  int error = errno;
  if (f != stdin) std::fclose(f);
  errno = error;
  return ok;
}

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                 uint8_t(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kDigits[(v >> k) & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool ValidUtf8(const std::string& text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const Json::type_error&) {
    return false;
  }
}

// A name in the report: as text, and exactly as Base64 when it is not valid UTF-8.
void PutName(Json& j, const char* key, const std::string& name) {
  j[key] = name;
  if (!ValidUtf8(name)) j[std::string(key) + "_base64"] = Base64(name);
}

const char* OutcomeWord(FileOutcome outcome, bool error) {
  if (error) return "failed";
  switch (outcome) {
    case FileOutcome::Converted:
      return "converted";
    case FileOutcome::UpToDate:
      return "skipped";
    case FileOutcome::FailedToLoad:
    case FileOutcome::InvalidFormat:
    case FileOutcome::IncorrectFormat:
      return "refused";
    default:
      return "failed";
  }
}

// The console needs none of the window's operations.
class ConsolePlatform : public ConverterPlatform {
 public:
  bool OpenDialog(const std::string&, uint32_t, std::vector<std::string>&) override {
    return false;
  }
  void ListAppend(const std::string&) override {}
  void ListClear() override {}
  std::vector<std::string> ListItems() override { return {}; }
  void MessageBox(const std::string&, const std::string&) override {}
};

}  // namespace

std::vector<std::string> ExpandPath(const std::string& path, bool recursive) {
  std::error_code ec;
  if (!fs::is_directory(path, ec)) return {path};
  std::vector<std::string> files;
  auto take = [&](const fs::directory_entry& e) {
    std::error_code ec2;
    if (e.is_regular_file(ec2) && IsImageName(e.path())) files.push_back(e.path().string());
  };
  if (recursive) {
    for (fs::recursive_directory_iterator
             it(path, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec))
      take(*it);
  } else {
    for (fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec))
      take(*it);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> SplitNameList(const std::string& text, bool nulSeparated) {
  const char separator = nulSeparated ? '\0' : '\n';
  std::vector<std::string> names;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) names.emplace_back(text, start, end - start);
    start = end + 1;
  }
  return names;
}

bool TargetIsUpToDate(const std::string& source) {
  struct stat src;
  if (::stat(source.c_str(), &src) != 0) return false;
  auto newer = [&](const std::string& target) {
    struct stat t;
    if (target == source || ::stat(target.c_str(), &t) != 0 || !S_ISREG(t.st_mode)) return false;
    return t.st_mtim.tv_sec > src.st_mtim.tv_sec ||
           (t.st_mtim.tv_sec == src.st_mtim.tv_sec && t.st_mtim.tv_nsec > src.st_mtim.tv_nsec);
  };
  const bool png = newer(ChangeFileExt(source, ".png"));
  const bool bmp = newer(ChangeFileExt(source, ".bmp"));
  if (!png && !bmp) return false;
  // Which one is the target depends on the source's content.
  lumenax::FileType type = lumenax::ftUnknown;
  try {
    type = lumenax::DetectFileFormat(source, false);
  } catch (const std::exception&) {
    return false;
  }
  return (type == lumenax::ftBmp && png) || (type == lumenax::ftPng && bmp);
}

std::string ReportLine(const std::string& source, const FileResult& r, bool raised,
                       const std::string& message, double milliseconds, int64_t bytesWritten) {
  Json j;
  PutName(j, "source", source);
  if (!r.target.empty())
    PutName(j, "target", r.target);
  else
    j["target"] = nullptr;
  const char* outcome = OutcomeWord(r.outcome, raised);
  j["outcome"] = outcome;
  if (outcome[0] == 'r' || outcome[0] == 'f') {
    j["message"] = message;
    j["reason"] = r.reason.empty() ? Json() : Json(r.reason);
  }
  std::string ext =
      r.fileType != 0 ? lumenax::AsciiLower(lumenax::GetExtension(lumenax::FileType(r.fileType), 0))
                      : std::string();
  j["format"] = ext.empty() ? Json() : Json(ext);
  j["width"] = r.width;
  j["height"] = r.height;
  j["bytes_read"] = r.sourceBytes >= 0 ? Json(r.sourceBytes) : Json();
  j["bytes_written"] = bytesWritten >= 0 ? Json(bytesWritten) : Json();
  j["ms"] = std::round(milliseconds * 1000) / 1000;
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

// The one-line progress display on a terminal: files done out of the total and, once the
// run has taken a few seconds, files per second and the time left.
class ProgressLine {
 public:
  ProgressLine(FILE* err, bool shown, size_t total)
      : err_(err), shown_(shown), total_(total), start_(Clock::now()) {}

  // Clears the line before other output.
  void Hide() {
    if (visible_) std::fputs("\r\033[K", err_);
    visible_ = false;
  }
  void Update(size_t done, bool force = false) {
    if (!shown_) return;
    auto now = Clock::now();
    if (!force && visible_ && now - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = now;
    Hide();
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(err_, "[%zu/%zu]", done, total_);
    if (seconds >= 3 && done > 0) {
      double rate = double(done) / seconds;
      long left = long(double(total_ - done) / rate + 0.5);
      std::fprintf(err_, " %.0f files/s, %ld:%02ld:%02ld left", rate, left / 3600, left / 60 % 60,
                   left % 60);
    }
    std::fflush(err_);
    visible_ = true;
  }

 private:
  using Clock = std::chrono::steady_clock;
  FILE* err_;
  bool shown_;
  size_t total_;
  Clock::time_point start_, drawn_;
  bool visible_ = false;
};

}  // namespace

int RunCli(int argc, char** argv, const CliStreams& s) {
  CliOptions o;
  if (int status = ParseArguments(argc, argv, o, s); status >= 0) return status;
  const auto started = std::chrono::steady_clock::now();

  std::vector<std::string> files;
  for (const CliOptions::Path& p : o.paths) {
    std::vector<std::string> names;
    if (p.list) {
      std::string text;
      if (!ReadList(p.name, text)) {
        std::fprintf(s.err, "veltrano-cli: cannot read the list '%s': %s\n", p.name.c_str(),
                     std::strerror(errno));
        return kExitUsage;
      }
      names = SplitNameList(text, o.nulSeparated);
    } else {
      names = {p.name};
    }
    for (const std::string& name : names) {
      std::vector<std::string> more = ExpandPath(name, o.recursive);
      files.insert(files.end(), std::make_move_iterator(more.begin()),
                   std::make_move_iterator(more.end()));
    }
  }

  FILE* report = nullptr;
  if (!o.report.empty()) {
    report = o.report == "-" ? s.out : std::fopen(o.report.c_str(), "w");
    if (!report) {
      std::fprintf(s.err, "veltrano-cli: cannot create the report '%s': %s\n", o.report.c_str(),
                   std::strerror(errno));
      return kExitUsage;
    }
  }
  // The text lines of written files go to standard output unless the report does.
  const bool printWritten = !o.quiet && !(report && report == s.out);

  ProgressLine progress(s.err, s.terminal && !o.quiet, files.size());
  size_t counts[4] = {0, 0, 0, 0};  // converted, skipped, refused, failed
  size_t finished = 0;
  ConsolePlatform platform;

  BatchOptions options;
  options.workers = o.jobs;
  options.groupCommits = true;
  options.idle = [&] {
    progress.Update(finished);
    return true;
  };
  auto convert = [&](size_t i) {
    const std::string& name = files[i];
    FileResult r;
    struct stat st;
    if (::stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return r;  // Skipped: gone
    if (o.skipUpToDate && TargetIsUpToDate(name)) {
      r.outcome = FileOutcome::UpToDate;
      r.sourceBytes = st.st_size;
      return r;
    }
    r = ConvertFile(platform, name, /*addChecks=*/true);
    r.sourceBytes = st.st_size;
    return r;
  };
  auto handle = [&](size_t i, BatchResult& br) {
    const std::string& name = files[i];
    FileResult& r = br.file;
    std::string message;
    if (br.error) {
      try {
        std::rethrow_exception(br.error);
      } catch (const std::exception& e) {
        message = e.what();
      } catch (...) {
        message = "unknown error";
      }
    } else if (r.outcome == FileOutcome::Skipped) {
      message = std::strerror(ENOENT);
    } else if (*OutcomeMessage(r.outcome)) {
      message = OutcomeMessage(r.outcome);
    }
    const char* word = OutcomeWord(r.outcome, br.error != nullptr);
    ++counts[word[0] == 'c' ? 0 : word[0] == 's' ? 1 : word[0] == 'r' ? 2 : 3];
    ++finished;
    const bool converted = word[0] == 'c';
    if (!message.empty()) {
      progress.Hide();
      if (r.reason.empty())
        std::fprintf(s.err, "%s: %s\n", name.c_str(), message.c_str());
      else
        std::fprintf(s.err, "%s: %s (%s)\n", name.c_str(), message.c_str(), r.reason.c_str());
    } else if (converted && printWritten) {
      progress.Hide();
      std::fprintf(s.out, "%s -> %s\n", name.c_str(), r.target.c_str());
      std::fflush(s.out);
    }
    if (report) {
      int64_t written = -1;
      struct stat st;
      if (converted && ::stat(r.target.c_str(), &st) == 0) written = st.st_size;
      std::string line =
          ReportLine(name, r, br.error != nullptr, message,
                     std::chrono::duration<double, std::milli>(br.elapsed).count(), written);
      std::fprintf(report, "%s\n", line.c_str());
      std::fflush(report);
    }
    progress.Update(finished);
    return true;
  };
  RunBatch(files, options, convert, handle);
  progress.Hide();
  std::fflush(s.err);

  const bool failed = counts[2] + counts[3] > 0;
  const int status = failed ? kExitFailed : kExitOk;
  if (report) {
    nlohmann::ordered_json j;
    j["summary"] = true;
    j["files"] = files.size();
    j["converted"] = counts[0];
    j["skipped"] = counts[1];
    j["refused"] = counts[2];
    j["failed"] = counts[3];
    j["seconds"] =
        std::round(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() *
            1000) /
        1000;
    j["exit_status"] = status;
    std::fprintf(report, "%s\n", j.dump().c_str());
    std::fflush(report);
    if (report != s.out && std::fclose(report) != 0) {
      std::fprintf(s.err, "veltrano-cli: cannot write the report '%s': %s\n", o.report.c_str(),
                   std::strerror(errno));
      return kExitFailed;
    }
  }
  return status;
}

}  // namespace veltrano
