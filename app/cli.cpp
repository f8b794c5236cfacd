#include "app/cli.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <numeric>
#include <string_view>
#include <thread>

#include "app/converter.h"
#include "codecs/common/ascii_case.h"

#ifndef VELTRANO_VERSION
#define VELTRANO_VERSION "0.0.0"
#endif

namespace veltrano {

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "Usage: veltrano-cli [-j N] [-r] [-q] PATH...\n"
    "Converts every BMP file to PNG and every PNG file to BMP, beside the original, keeping\n"
    "the alpha channel. A folder stands for the BMP and PNG files in it.\n"
    "\n"
    "  -j, --jobs N     convert with N workers (default: one per core)\n"
    "  -r, --recursive  also convert the files in sub-folders of folders given\n"
    "  -q, --quiet      print only refusals and failures\n"
    "      --help       show this text\n"
    "      --version    show the version\n"
    "\n"
    "Exit status: 0 when every file was converted, 1 when any was refused or failed,\n"
    "2 on a usage error.\n";

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
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      o.paths.push_back(a);
      continue;
    }
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
    } else if (a == "-j" || a == "--jobs") {
      if (i + 1 >= argc || !ParseJobs(argv[i + 1], o.jobs))
        return usageError("option " + a + " needs a number of workers (1 or more)");
      ++i;
    } else if (a.rfind("--jobs=", 0) == 0 || (a.rfind("-j", 0) == 0 && a[1] == 'j')) {
      std::string n = a[1] == 'j' ? a.substr(2) : a.substr(7);
      if (!ParseJobs(n, o.jobs)) return usageError("bad number of workers '" + n + "'");
    } else if (a[1] != '-' && a.size() > 2 && a.find_first_not_of("rq", 1) == std::string::npos) {
      for (char c : a.substr(1)) (c == 'r' ? o.recursive : o.quiet) = true;
    } else {
      return usageError("unknown option '" + a + "'");
    }
  }
  if (o.paths.empty()) return usageError("no file or folder given");
  return -1;
}

struct Result {
  bool ok = false;
  std::string message;  // for stderr: "PATH: message"
  std::string written;  // for stdout: "SOURCE -> TARGET"
};

Result ConvertOne(ConverterPlatform& platform, const std::string& name) {
  Result r;
  try {
    if (!platform.FileExists(name)) {
      r.message = name + ": " + std::strerror(ENOENT);
      return r;
    }
    FileResult fr = ConvertFile(platform, name, /*addChecks=*/true);
    if (fr.outcome == FileOutcome::Converted) {
      r.ok = true;
      r.written = name + " -> " + fr.target;
    } else if (fr.outcome == FileOutcome::Skipped) {
      r.message = name + ": " + std::strerror(ENOENT);
    } else {
      r.message = name + ": " + OutcomeMessage(fr.outcome);
      if (!fr.reason.empty()) r.message += " (" + fr.reason + ")";
    }
  } catch (const std::exception& e) {
    r.message = name + ": " + e.what();
  }
  return r;
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

std::vector<std::vector<size_t>> SerialGroups(const std::vector<std::string>& files) {
  std::vector<size_t> parent(files.size());
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  std::map<std::string, size_t> owner;  // a name to the first position that touches it
  for (size_t i = 0; i < files.size(); ++i) {
    for (const std::string& key :
         {files[i], ChangeFileExt(files[i], ".png"), ChangeFileExt(files[i], ".bmp")}) {
      std::error_code ec;
      fs::path canon = fs::weakly_canonical(key, ec);
      auto [it, fresh] = owner.emplace(ec ? key : canon.string(), i);
      if (!fresh) {
        size_t a = find(i), b = find(it->second);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
      }
    }
  }
  std::map<size_t, std::vector<size_t>> groups;
  for (size_t i = 0; i < files.size(); ++i) groups[find(i)].push_back(i);
  std::vector<std::vector<size_t>> out;
  for (auto& [root, members] : groups) out.push_back(std::move(members));
  return out;
}

int RunCli(int argc, char** argv, const CliStreams& s) {
  CliOptions o;
  if (int status = ParseArguments(argc, argv, o, s); status >= 0) return status;

  std::vector<std::string> files;
  for (const std::string& p : o.paths) {
    std::vector<std::string> more = ExpandPath(p, o.recursive);
    files.insert(files.end(), more.begin(), more.end());
  }
  if (files.empty()) return kExitOk;

  int jobs = o.jobs > 0 ? o.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<std::vector<size_t>> groups = SerialGroups(files);
  jobs = std::min<int>(jobs, int(groups.size()));

  std::vector<Result> results(files.size());
  std::vector<bool> done(files.size(), false);
  std::mutex m;
  std::condition_variable cv;
  std::atomic<size_t> nextGroup{0};

  auto worker = [&] {
    ConsolePlatform platform;
    for (size_t g; (g = nextGroup.fetch_add(1)) < groups.size();) {
      for (size_t i : groups[g]) {
        Result r = ConvertOne(platform, files[i]);
        std::lock_guard<std::mutex> lock(m);
        results[i] = std::move(r);
        done[i] = true;
        cv.notify_one();
      }
    }
  };
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs; ++j) threads.emplace_back(worker);

  // Report in list order as results arrive.
  bool failed = false;
  bool counter = s.terminal && !o.quiet;
  size_t finished = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done[i]; });
    Result r = std::move(results[i]);
    lock.unlock();
    ++finished;
    if (counter) std::fputs("\r\033[K", s.err);
    if (!r.ok) {
      failed = true;
      std::fprintf(s.err, "%s\n", r.message.c_str());
    } else if (!o.quiet) {
      std::fprintf(s.out, "%s\n", r.written.c_str());
      std::fflush(s.out);
    }
    if (counter) std::fprintf(s.err, "[%zu/%zu]", finished, files.size());
    std::fflush(s.err);
  }
  if (counter) std::fputs("\r\033[K", s.err);
  for (auto& t : threads) t.join();
  return failed ? kExitFailed : kExitOk;
}

}  // namespace veltrano
