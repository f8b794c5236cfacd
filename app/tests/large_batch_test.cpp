// veltrano-cli over thousands of files given as lists: names of every kind, the JSON-lines
// report, resuming a killed run, and splitting a list over several processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "app/cli.h"
#include "bitmap/bitmap.h"
#include "io/lumenax_io.h"
#include "tests/support/test_support.h"

namespace veltrano {
namespace {

namespace fs = std::filesystem;
using lumenax::test::ReadFileBytes;
using lumenax::test::RunCommand;
using lumenax::test::ShellQuote;
using lumenax::test::TempDir;
using lumenax::test::WriteFileBytes;

using Bytes = std::vector<uint8_t>;

// A scratch folder in memory where the machine has one: these runs convert thousands of files
// and flush each group of them to the disk, which on a busy disk would take far longer than
// the logic tested here; elsewhere, the usual temporary folder.
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ec;
    if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) {
      char name[] = "/dev/shm/lxbatch-XXXXXX";
      if (::mkdtemp(name)) path_ = name;
    }
    if (path_.empty()) {
      fallback_ = std::make_unique<TempDir>();
      path_ = fallback_->path();
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!fallback_) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
  std::unique_ptr<TempDir> fallback_;
};

// Small images as files: a few BMP variants (one with alpha) and a PNG.
struct TinyImages {
  std::vector<Bytes> bmp;
  Bytes png;
  TinyImages() {
    TempDir dir;
    for (int v = 0; v < 3; ++v) {
      lumenax::TLumenaxIO io;
      io.Bitmap()->Allocate(16, 16, lumenax::lx24RGB);
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 48; ++x) io.Bitmap()->ScanLine(y)[x] = uint8_t(x * 5 + y * 9 + v * 70);
      if (v == 2) io.Bitmap()->SetAlphaValue(3, 3, 40);
      io.Params.BmpKeepAlpha = true;
      io.SaveToFileBmp(dir / "t.bmp");
      bmp.push_back(ReadFileBytes(dir / "t.bmp"));
      if (v == 1) {
        io.SaveToFilePng(dir / "t.png");
        png = ReadFileBytes(dir / "t.png");
      }
    }
  }
};

const TinyImages& Images() {
  static const TinyImages images;
  return images;
}

// Writes count sources into dir, dated a minute back (as an archive's files are), and
// returns their names in list order. Every fifth is a PNG; with oddNames some names hold
// spaces, line breaks and bytes that are not UTF-8.
std::vector<std::string> MakeSources(const fs::path& dir, int count, bool oddNames) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d", i);
    std::string stem = std::string("f") + number;
    if (oddNames && i % 7 == 0) stem = std::string("with space ") + number;
    if (oddNames && i % 11 == 0) stem = std::string("line\nbreak ") + number;
    if (oddNames && i % 13 == 0) stem = std::string("bytes \xff\xfe ") + number;
    const bool png = i % 5 == 0;
    std::string name = (dir / (stem + (png ? ".png" : ".bmp"))).string();
    WriteFileBytes(name, png ? Images().png : Images().bmp[i % 3]);
    names.push_back(name);
  }
  const struct timespec past[2] = {{time(nullptr) - 60, 0}, {time(nullptr) - 60, 0}};
  for (const std::string& n : names) EXPECT_EQ(::utimensat(AT_FDCWD, n.c_str(), past, 0), 0);
  return names;
}

std::string Target(const std::string& source) {
  return ChangeFileExt(
      source, source.size() > 4 && source.substr(source.size() - 4) == ".png" ? ".bmp" : ".png");
}

void WriteList(const fs::path& file, const std::vector<std::string>& names, char separator) {
  std::string text;
  for (const std::string& n : names) text += n + separator;
  WriteFileBytes(file, Bytes(text.begin(), text.end()));
}

std::string Cli() {
  return ShellQuote(VELTRANO_CLI_PATH);
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int have = 0;
  for (char c : text) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '+'             ? 62
            : c == '/'             ? 63
                                   : -1;
    if (v < 0) continue;
    bits = bits << 6 | uint32_t(v);
    if ((have += 6) >= 8) out += char((bits >> (have -= 8)) & 0xFF);
  }
  return out;
}

struct Report {
  std::vector<nlohmann::json> files;
  nlohmann::json summary;
  std::map<std::string, std::string> outcome;  // exact source name to outcome
};

// Parses a report line by line; each line must be a JSON object, the last the summary.
Report ReadReport(const fs::path& file) {
  Report r;
  Bytes bytes = ReadFileBytes(file);
  std::string text(bytes.begin(), bytes.end());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "every line ends";
    if (end == std::string::npos) break;
    nlohmann::json j = nlohmann::json::parse(text.substr(start, end - start));
    if (j.contains("summary")) {
      EXPECT_TRUE(r.summary.is_null()) << "one summary";
      r.summary = j;
    } else {
      EXPECT_TRUE(r.summary.is_null()) << "the summary comes last";
      std::string source = j.contains("source_base64") ? Base64Decode(j["source_base64"])
                                                       : j["source"].get<std::string>();
      r.outcome[source] = j["outcome"];
      r.files.push_back(std::move(j));
    }
    start = end + 1;
  }
  return r;
}

TEST(CliLargeBatch, FiveThousandListedFilesWithEveryKindOfName) {
  ScratchDir dir;
  std::vector<std::string> names = MakeSources(dir.path(), 5000, true);
  std::vector<std::string> list = names;
  WriteFileBytes(dir / "broken.bmp", {'B', 'M', 1, 2, 3});
  list.insert(list.begin() + 100, (dir / "broken.bmp").string());
  list.insert(list.begin() + 200, (dir / "missing.bmp").string());
  WriteList(dir / "list0", list, '\0');

  const fs::path report = dir / "run.jsonl";
  int status = RunCommand(
      Cli() + " -j2 -q -0 --files-from - --report " + ShellQuote(report.string()) + " < " +
      ShellQuote((dir / "list0").string()) + " 2>" + ShellQuote((dir / "err").string()));
  Bytes err = ReadFileBytes(dir / "err");
  EXPECT_EQ(status, kExitFailed) << std::string(err.begin(), err.end());
  Report r = ReadReport(report);
  ASSERT_EQ(r.files.size(), list.size());
  EXPECT_EQ(r.summary["files"], list.size());
  EXPECT_EQ(r.summary["converted"], 5000);
  EXPECT_EQ(r.summary["refused"], 1);
  EXPECT_EQ(r.summary["failed"], 1);
  EXPECT_EQ(r.summary["skipped"], 0);
  EXPECT_EQ(r.summary["exit_status"], status);
  // In list order, every name exactly as listed.
  size_t nonUtf8 = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const nlohmann::json& j = r.files[i];
    std::string source = j.contains("source_base64") ? Base64Decode(j["source_base64"])
                                                     : j["source"].get<std::string>();
    ASSERT_EQ(source, list[i]) << i;
    nonUtf8 += j.contains("source_base64");
  }
  EXPECT_EQ(nonUtf8, 385u);  // the names with bytes that are not UTF-8
  EXPECT_EQ(r.files[100]["outcome"], "refused");
  EXPECT_EQ(r.files[100]["message"], "Failed to load file.");
  EXPECT_EQ(r.files[200]["outcome"], "failed");
  const nlohmann::json& first = r.files[1];  // f00001.bmp
  EXPECT_EQ(first["format"], "bmp");
  EXPECT_EQ(first["width"], 16);
  EXPECT_EQ(first["height"], 16);
  EXPECT_EQ(first["bytes_read"], Images().bmp[1].size());
  EXPECT_EQ(first["bytes_written"], fs::file_size(Target(names[1])));
  for (const std::string& n : names) ASSERT_TRUE(fs::exists(Target(n))) << n;

  // The same names one a line (those without a line break), run again: all up to date.
  std::vector<std::string> lines;
  for (const std::string& n : names)
    if (n.find('\n') == std::string::npos) lines.push_back(n);
  WriteList(dir / "lines", lines, '\n');
  const fs::path again = dir / "again.jsonl";
  status =
      RunCommand(Cli() + " --skip-up-to-date --files-from " + ShellQuote((dir / "lines").string()) +
                 " --report " + ShellQuote(again.string()));
  EXPECT_EQ(status, kExitOk);
  Report second = ReadReport(again);
  EXPECT_EQ(second.files.size(), lines.size());
  EXPECT_EQ(second.summary["skipped"], lines.size());
  EXPECT_EQ(second.summary["converted"], 0);
}

// Starts veltrano-cli with its standard input from a file.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> all = {VELTRANO_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);
  return pid;
}

size_t CountLines(const fs::path& file) {
  Bytes b = ReadFileBytes(file);
  return size_t(std::count(b.begin(), b.end(), uint8_t('\n')));
}

TEST(CliLargeBatch, ResumingAKilledRunConvertsExactlyWhatIsLeft) {
  ScratchDir dir;
  fs::create_directories(dir / "work");
  fs::create_directories(dir / "whole");
  // More files than two workers' first commit groups (1,024 files each) hold, so that a fast
  // machine cannot put every target in place before the run is killed.
  const int count = 2600;
  std::vector<std::string> names = MakeSources(dir / "work", count, false);
  std::vector<std::string> reference = MakeSources(dir / "whole", count, false);
  WriteList(dir / "list", names, '\0');
  WriteList(dir / "reference", reference, '\0');

  // The reference: one whole run.
  int status =
      RunCommand(Cli() + " -q -0 --files-from - < " + ShellQuote((dir / "reference").string()));
  ASSERT_EQ(status, kExitOk);

  // A run killed once a quarter of the files are reported.
  const fs::path first = dir / "first.jsonl";
  pid_t pid = Spawn({"-j2", "-0", "--files-from", "-", "--report", first.string()}, dir / "list");
  ASSERT_GT(pid, 0);
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(first) && CountLines(first) >= count / 4) break;
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ASSERT_FALSE(ended) << "the run ended before it could be killed";
  ASSERT_TRUE(WIFSIGNALED(status));

  // What the killed run left: complete targets and nothing else.
  std::set<std::string> done;
  std::set<std::string> allowed(names.begin(), names.end());
  for (const std::string& n : names) {
    allowed.insert(Target(n));
    if (fs::exists(Target(n))) done.insert(n);
  }
  for (const auto& e : fs::directory_iterator(dir / "work"))
    EXPECT_TRUE(allowed.count(e.path().string())) << "left behind: " << e.path();
  EXPECT_GE(done.size(), size_t(count / 4));
  EXPECT_LT(done.size(), size_t(count));

  const fs::path second = dir / "second.jsonl";
  status = RunCommand(Cli() + " -j2 -q -0 --skip-up-to-date --files-from - --report " +
                      ShellQuote(second.string()) + " < " + ShellQuote((dir / "list").string()));
  EXPECT_EQ(status, kExitOk);
  Report r = ReadReport(second);
  ASSERT_EQ(r.files.size(), names.size());
  for (const std::string& n : names)
    EXPECT_EQ(r.outcome[n], done.count(n) ? "skipped" : "converted") << n;
  EXPECT_EQ(r.summary["skipped"], done.size());
  EXPECT_EQ(r.summary["converted"], names.size() - done.size());
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(ReadFileBytes(Target(names[i])), ReadFileBytes(Target(reference[i]))) << names[i];
}

TEST(CliLargeBatch, GnuParallelOverASplitListGivesTheSameTargets) {
  if (!lumenax::test::HaveProgram("parallel")) GTEST_SKIP() << "GNU parallel is not installed";
  ScratchDir dir;
  fs::create_directories(dir / "split");
  fs::create_directories(dir / "whole");
  const int count = 300;
  std::vector<std::string> names = MakeSources(dir / "split", count, true);
  std::vector<std::string> reference = MakeSources(dir / "whole", count, true);
  WriteList(dir / "list", names, '\0');
  WriteList(dir / "reference", reference, '\0');
  int status =
      RunCommand(Cli() + " -q -j1 -0 --files-from - < " + ShellQuote((dir / "reference").string()));
  ASSERT_EQ(status, kExitOk);
  // Blocks of about 4 KiB: a dozen lists, two processes at a time, each with its report on
  // standard output; parallel gathers them.
  const fs::path reports = dir / "reports.jsonl";
  status = RunCommand("parallel --will-cite --pipe --recend '\\0' --block 4k -j2 " + Cli() +
                      " -j1 -0 --files-from - --report - < " + ShellQuote((dir / "list").string()) +
                      " > " + ShellQuote(reports.string()));
  EXPECT_EQ(status, 0);
  // One summary per process, and every file converted exactly once.
  Bytes text = ReadFileBytes(reports);
  std::string all(text.begin(), text.end());
  size_t summaries = 0, converted = 0, start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    nlohmann::json j = nlohmann::json::parse(all.substr(start, end - start));
    if (j.contains("summary")) {
      ++summaries;
      converted += j["converted"].get<size_t>();
    }
    start = end + 1;
  }
  EXPECT_GT(summaries, 3u);
  EXPECT_EQ(converted, size_t(count));
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(ReadFileBytes(Target(names[i])), ReadFileBytes(Target(reference[i]))) << names[i];
}

}  // namespace
}  // namespace veltrano
