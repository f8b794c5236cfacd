// End-to-end tests of the lumenax command-line tool: the program itself, run from a shell.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "io/param_fields.h"
#include "tests/support/test_support.h"

namespace lumenax {
namespace {

using test::ShellQuote;
using test::TempDir;
namespace fs = std::filesystem;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> OutLines() const { return Lines(out); }
  std::vector<std::string> ErrLines() const { return Lines(err); }
  static std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

class Cli : public ::testing::Test {
 protected:
  // Runs lumenax in the test folder with the arguments (already quoted where needed).
  Result Run(const std::string& args) {
    Result r;
    fs::path err = dir_ / ".stderr";
    r.status = test::RunCommand("cd " + ShellQuote(dir_.path().string()) + " && " +
                                    ShellQuote(LX_CLI_PATH) + " " + args + " 2>" +
                                    ShellQuote(err.string()),
                                &r.out);
    std::vector<uint8_t> e = test::ReadFileBytes(err);
    r.err.assign(e.begin(), e.end());
    return r;
  }
  // A small image made by ImageMagick; false when it is not installed.
  bool Make(const std::string& name) {
    if (!test::HaveProgram("/usr/bin/convert")) return false;
    return test::RunCommand("cd " + ShellQuote(dir_.path().string()) +
                            " && /usr/bin/convert -size 5x3 gradient:red-blue " + name) == 0;
  }
  fs::path Path(const std::string& name) { return dir_ / name; }

  TempDir dir_;
};

TEST_F(Cli, HelpAndUsageErrors) {
  Result help = Run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: lumenax"), std::string::npos);
  EXPECT_EQ(Run("help").status, 0);

  struct Case {
    std::string args;
    std::string message;  // the first line on stderr
  };
  std::vector<Case> cases = {
      {"", "lumenax: missing command"},
      {"frobnicate x", "lumenax: unknown command \"frobnicate\""},
      {"info", "lumenax: info needs one FILE"},
      {"info a b", "lumenax: info needs one FILE"},
      {"convert a", "lumenax: convert needs IN and OUT"},
      {"dump a", "lumenax: dump needs FILE and OUT.pam"},
      {"detect", "lumenax: detect needs at least one FILE"},
      {"info -x a", "lumenax: unknown option \"-x\""},
      {"info --frob a", "lumenax: unknown option \"--frob\""},
      {"info a -l", "lumenax: option \"-l\" needs KEY=VALUE"},
      {"info -l NoSuchKey=1 a", "lumenax: unknown parameter \"NoSuchKey\""},
      {"info a -l BmpKeepAlpha=maybe",
       "lumenax: bad value \"maybe\" for parameter \"BmpKeepAlpha\""},
      {"info a -l BmpVersion=300", "lumenax: bad value \"300\" for parameter \"BmpVersion\""},
      {"info a -l ColorMapCount=2", "lumenax: unknown parameter \"ColorMapCount\""},
      {"info a -l BmpKeepAlpha", "lumenax: \"BmpKeepAlpha\" is not KEY=VALUE"},
      {"info a -s PngFilter=1", "lumenax: option \"-s\" does not apply to info"},
      {"dump a b.pam -s PngFilter=1", "lumenax: option \"-s\" does not apply to dump"},
      {"detect a -p lx24RGB", "lumenax: option \"-p\" does not apply to detect"},
      {"info --strict a", "lumenax: option \"--strict\" does not apply to info"},
      {"convert a b -p lx99", "lumenax: unknown pixel layout \"lx99\""},
      {"convert a b -p lxNone", "lumenax: unknown pixel layout \"lxNone\""},
      {"convert a b -r 10", "lumenax: bad size \"10\" for -r (WxH[:FILTER], e.g. 640x-1)"},
      {"convert a b -r x10", "lumenax: bad size \"x10\" for -r (WxH[:FILTER], e.g. 640x-1)"},
      {"convert a b -r 10x1.5", "lumenax: bad size \"10x1.5\" for -r (WxH[:FILTER], e.g. 640x-1)"},
      {"convert a b --resize=4x4:sharp",
       "lumenax: unknown filter \"sharp\" (none, triangle, hermite, bell, bspline, lanczos3, "
       "mitchell, nearest, linear, fastlinear, bilinear, bicubic, projectbw, projectwb, or 0-13)"},
      {"convert a b -r", "lumenax: option \"-r\" needs WxH[:FILTER]"},
      {"info a -r 5x5", "lumenax: option \"-r\" does not apply to info"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    EXPECT_EQ(r.status, 3) << c.args;
    ASSERT_FALSE(r.ErrLines().empty()) << c.args;
    EXPECT_EQ(r.ErrLines()[0], c.message) << c.args;
    EXPECT_TRUE(r.out.empty()) << c.args;
  }
}

TEST_F(Cli, DetectPrintsPathCodeAndDescription) {
  if (!Make("a.png") || !Make("a.bmp") || !Make("a.gif") || !Make("a.jpg"))
    GTEST_SKIP() << "/usr/bin/convert is not installed";
  fs::copy_file(Path("a.png"), Path("png-named.bmp"));
  Result r = Run("detect a.png a.bmp a.gif a.jpg png-named.bmp");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.OutLines(), (std::vector<std::string>{
                              "a.png\t8\tPortable Network Graphics",
                              "a.bmp\t5\tWindows Bitmap",
                              "a.gif\t2\tCompuServe Bitmap",
                              "a.jpg\t3\tJPEG Bitmap",
                              "png-named.bmp\t8\tPortable Network Graphics",
                          }));
  // --strict anywhere: the name must agree with the content.
  Result strict = Run("detect png-named.bmp --strict a.png");
  EXPECT_EQ(strict.OutLines(), (std::vector<std::string>{"png-named.bmp\t0\tunknown",
                                                         "a.png\t8\tPortable Network Graphics"}));
  // A format without a registry row, and a missing file.
  test::WriteFileBytes(Path("clip"), {'R', 'I', 'F', 'F', 9, 0, 0, 0, 'A', 'V', 'I', ' ', 0, 0});
  Result odd = Run("detect clip missing.png");
  EXPECT_EQ(odd.OutLines(),
            (std::vector<std::string>{"clip\t15\tunknown", "missing.png\t0\tunknown"}));
  EXPECT_EQ(odd.status, 1);
  EXPECT_EQ(odd.ErrLines(), (std::vector<std::string>{"lumenax: missing.png: no such file"}));
  // "--" ends the options: a file may begin with a dash.
  fs::copy_file(Path("a.gif"), Path("-x.gif"));
  Result dash = Run("detect -- -x.gif");
  EXPECT_EQ(dash.OutLines(), (std::vector<std::string>{"-x.gif\t2\tCompuServe Bitmap"}));
}

// The "Key=Value" lines of info: the four bitmap lines, then every field of the table in its
// order, with ColorMap[i] lines after ColorMapCount.
void ExpectInfoShape(const Result& r) {
  std::vector<std::string> keys;
  for (const std::string& line : r.OutLines()) {
    size_t eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << line;
    std::string key = line.substr(0, eq);
    if (key.rfind("ColorMap[", 0) == 0) continue;
    keys.push_back(key);
  }
  std::vector<std::string> expected = {"Aborting", "PixelFormat", "HasAlphaChannel",
                                       "AlphaAllOpaque"};
  for (const ParamField& f : ParamFieldTable()) expected.push_back(f.Name);
  EXPECT_EQ(keys, expected);
}

std::string Value(const Result& r, const std::string& key) {
  for (const std::string& line : r.OutLines()) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "(missing)";
}

TEST_F(Cli, InfoLoadsAndPrintsTheRecord) {
  if (!Make("a.png") || !Make("BMP3:a.bmp")) GTEST_SKIP() << "/usr/bin/convert is not installed";
  Result png = Run("info a.png -l PngCompression=9");
  ExpectInfoShape(png);
  EXPECT_EQ(Value(png, "FileType"), "8");
  EXPECT_EQ(Value(png, "FileName"), "a.png");
  EXPECT_EQ(Value(png, "PngCompression"), "9");
  if (png.status == 0) {
    EXPECT_EQ(Value(png, "Aborting"), "false");
    EXPECT_EQ(Value(png, "Width"), "5");
    EXPECT_EQ(Value(png, "Height"), "3");
  } else {
    // This build reads no PNG yet.
    EXPECT_EQ(png.status, 1);
    EXPECT_EQ(Value(png, "Aborting"), "true");
    EXPECT_EQ(png.ErrLines(), (std::vector<std::string>{"lumenax: a.png: not loadable"}));
  }
  Result bmp = Run("-l BmpKeepAlpha=true info a.bmp");
  ExpectInfoShape(bmp);
  EXPECT_EQ(Value(bmp, "FileType"), "5");
  EXPECT_EQ(Value(bmp, "BmpKeepAlpha"), "true");
  EXPECT_EQ(bmp.status, 0);
  EXPECT_TRUE(bmp.err.empty());
  EXPECT_EQ(Value(bmp, "Aborting"), "false");
  EXPECT_EQ(Value(bmp, "PixelFormat"), "lx24RGB");
  EXPECT_EQ(Value(bmp, "HasAlphaChannel"), "false");
  EXPECT_EQ(Value(bmp, "Width"), "5");
  EXPECT_EQ(Value(bmp, "Height"), "3");
  EXPECT_EQ(Value(bmp, "BitsPerSample"), "8");
  EXPECT_EQ(Value(bmp, "SamplesPerPixel"), "3");
  EXPECT_EQ(Value(bmp, "BmpVersion"), "1");  // BMP3 writes the 40-byte header
  // A palette image lists its colours.
  ASSERT_EQ(test::RunCommand("cd " + ShellQuote(dir_.path().string()) +
                             " && /usr/bin/convert -size 4x1 xc:red xc:lime +append -type "
                             "palette BMP3:pal.bmp"),
            0);
  Result pal = Run("info pal.bmp");
  EXPECT_EQ(pal.status, 0);
  EXPECT_EQ(Value(pal, "ColorMapCount"), "2");
  std::set<std::string> colours = {Value(pal, "ColorMap[0]"), Value(pal, "ColorMap[1]")};
  EXPECT_EQ(colours, (std::set<std::string>{"255,0,0", "0,255,0"}));
  // Nothing to load: the open error, one line, and no record.
  Result missing = Run("info missing.png");
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.out.empty());
  ASSERT_EQ(missing.ErrLines().size(), 1u);
  EXPECT_NE(missing.err.find("Cannot open file \""), std::string::npos);
  // A format that no reader handles.
  test::WriteFileBytes(Path("clip.avi"), {'R', 'I', 'F', 'F', 9, 0, 0, 0, 'A', 'V', 'I', ' ', 0});
  Result avi = Run("info clip.avi");
  EXPECT_EQ(avi.status, 1);
  EXPECT_EQ(
      avi.ErrLines(),
      (std::vector<std::string>{"lumenax: clip.avi: not loadable (no reader for this format)"}));
  // Texts stay on their line.
  Result xmp = Run("info clip.avi -l \"XMP_Info=$(printf 'a\\nb\\\\c')\"");
  EXPECT_EQ(Value(xmp, "XMP_Info"), "a\\nb\\\\c");
}

// Pixels of a file as ImageMagick decodes them.
bool PeerDecode(const fs::path& dir, const std::string& file, test::RgbaImage& out) {
  std::string png = file + ".peer.png";
  if (test::RunCommand("cd " + ShellQuote(dir.string()) + " && /usr/bin/convert " +
                       ShellQuote(file) + " PNG32:" + ShellQuote(png)) != 0)
    return false;
  return test::ReadPngRgba(dir / png, out);
}

TEST_F(Cli, ConvertOrderAndExitStatus) {
  if (!Make("a.bmp") || !Make("a.png")) GTEST_SKIP() << "/usr/bin/convert is not installed";
  test::RgbaImage want, got;
  ASSERT_TRUE(test::ReadPngRgba(Path("a.png"), want));
  test::WriteFileBytes(Path("out.bmp"), {'o', 'l', 'd'});
  // Options anywhere, attached or separate, short or long.
  Result r =
      Run("convert a.bmp -lBmpKeepAlpha=true --load=NativePixelFormat=false out.bmp "
          "--set BmpCompression=0 -p lx24RGB");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
  ASSERT_TRUE(PeerDecode(dir_.path(), "out.bmp", got));
  EXPECT_EQ(test::CountDifferentPixels(got, want), 0u);

  // -l comes before the load (the reader then overwrites BmpVersion), -s after it (the
  // writer takes it): only the -s value gives the 12-byte core header.
  auto infoHeaderSize = [&](const std::string& file) {
    std::vector<uint8_t> b = test::ReadFileBytes(Path(file));
    return b.size() > 18 ? int(b[14] | b[15] << 8) : -1;
  };
  EXPECT_EQ(Run("convert -l BmpVersion=2 a.bmp before.bmp").status, 0);
  EXPECT_NE(infoHeaderSize("before.bmp"), 12);
  EXPECT_EQ(Run("convert -s BmpVersion=2 a.bmp after.bmp").status, 0);
  EXPECT_EQ(infoHeaderSize("after.bmp"), 12);
  ASSERT_TRUE(PeerDecode(dir_.path(), "after.bmp", got));
  EXPECT_EQ(test::CountDifferentPixels(got, want), 0u);

  // -p changes the layout between the load and the save.
  EXPECT_EQ(Run("convert a.bmp -p lx8g gray.bmp").status, 0);
  ASSERT_TRUE(PeerDecode(dir_.path(), "gray.bmp", got));
  bool allGray = got.width == 5;
  for (int y = 0; y < got.height; ++y)
    for (int x = 0; x < got.width; ++x)
      allGray &= got.at(x, y)[0] == got.at(x, y)[1] && got.at(x, y)[1] == got.at(x, y)[2];
  EXPECT_TRUE(allGray);

  // A source that cannot be opened: one line, and the target keeps what it had.
  std::vector<uint8_t> kept = test::ReadFileBytes(Path("out.bmp"));
  Result missing = Run("convert missing.bmp out.bmp");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.ErrLines().size(), 1u);
  EXPECT_EQ(test::ReadFileBytes(Path("out.bmp")), kept);
  // A source that is not an image at all.
  test::WriteFileBytes(Path("notes.txt"), {'h', 'i', '\n'});
  Result text = Run("convert notes.txt out.bmp");
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(test::ReadFileBytes(Path("out.bmp")), kept);

  // A target without a writer.
  Result noWriter = Run("convert a.bmp out.xyz");
  EXPECT_EQ(noWriter.status, 2);
  EXPECT_EQ(
      noWriter.ErrLines(),
      (std::vector<std::string>{"lumenax: out.xyz: no writer for this file name (\".xyz\")"}));
  EXPECT_FALSE(fs::exists(Path("out.xyz")));
  // A target in a folder that does not exist: the create error, exit 2.
  Result noFolder = Run("convert a.bmp nowhere/out.bmp");
  EXPECT_EQ(noFolder.status, 2);
  EXPECT_NE(noFolder.err.find("Cannot create file \""), std::string::npos);

  // BMP to PNG and back, once the PNG codec is there; until then the save fails cleanly.
  test::WriteFileBytes(Path("out.png"), {'o', 'l', 'd'});
  Result toPng = Run("convert a.bmp out.png");
  if (toPng.status == 0) {
    ASSERT_TRUE(test::ReadPngRgba(Path("out.png"), got));
    EXPECT_EQ(test::CountDifferentPixels(got, want), 0u);
  } else {
    EXPECT_EQ(toPng.status, 2);
    EXPECT_EQ(toPng.ErrLines(), (std::vector<std::string>{"lumenax: out.png: not saved"}));
    EXPECT_EQ(test::ReadFileBytes(Path("out.png")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  }
}

TEST_F(Cli, ConvertResizesBetweenLayoutAndSettings) {
  if (!test::HaveProgram("/usr/bin/convert")) GTEST_SKIP() << "/usr/bin/convert is not installed";
  ASSERT_EQ(test::RunCommand("cd " + ShellQuote(dir_.path().string()) +
                             " && /usr/bin/convert -size 200x100 gradient:white-black wide.bmp"),
            0);
  test::RgbaImage got;
  // -1 keeps the aspect ratio, 0 keeps a side; lanczos3 unless a filter is named, in any
  // spelling or by number.
  struct Case {
    std::string resize;
    int w, h;
  };
  for (const Case& c : std::vector<Case>{{"100x-1", 100, 50},
                                         {"-1x25:BICUBIC", 50, 25},
                                         {"0x10:rfMitchell", 200, 10},
                                         {"-1x0", 200, 100},
                                         {"30x20:9", 30, 20},
                                         {"7x3:none", 7, 3}}) {
    Result r = Run("convert -r " + c.resize + " wide.bmp out.bmp");
    ASSERT_EQ(r.status, 0) << c.resize << r.err;
    ASSERT_TRUE(PeerDecode(dir_.path(), "out.bmp", got)) << c.resize;
    EXPECT_EQ(got.width, c.w) << c.resize;
    EXPECT_EQ(got.height, c.h) << c.resize;
    // Still a gradient from white at the top to black at the bottom.
    EXPECT_GT(got.at(0, 0)[0], got.at(0, got.height - 1)[0]) << c.resize;
  }
  // The projections give black and white.
  ASSERT_EQ(Run("convert wide.bmp --resize 20x20:projectwb bw.bmp").status, 0);
  ASSERT_TRUE(PeerDecode(dir_.path(), "bw.bmp", got));
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_TRUE(got.at(x, y)[0] == 0 || got.at(x, y)[0] == 255);

  // -p comes before -r wherever they stand: lx8p has no filtered resampling, so nothing is
  // saved, the target keeps what it had, and the reason is given.
  test::WriteFileBytes(Path("kept.bmp"), {'o', 'l', 'd'});
  Result refused = Run("convert -r 20x20:triangle wide.bmp kept.bmp -p lx8p");
  EXPECT_EQ(refused.status, 4);
  EXPECT_EQ(refused.ErrLines(),
            (std::vector<std::string>{
                "lumenax: cannot resize an lx8p image with rfTriangle: unsupported (change "
                "the layout first, e.g. -p lx24RGB, or use the filter none)"}));
  EXPECT_EQ(test::ReadFileBytes(Path("kept.bmp")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(Run("convert -r 20x20:none wide.bmp pal.bmp -p lx8p").status, 0);
  // Gray images have the filters: -p lx8g, then -r, then -s for the writer.
  EXPECT_EQ(Run("convert -s BmpVersion=2 -r 20x-1:triangle -p lx8g wide.bmp gray.bmp").status, 0);
  std::vector<uint8_t> gray = test::ReadFileBytes(Path("gray.bmp"));
  ASSERT_GT(gray.size(), 22u);
  EXPECT_EQ(gray[14], 12);  // the core header that -s asked for
  EXPECT_EQ(gray[18] | gray[19] << 8, 20);
  EXPECT_EQ(gray[20] | gray[21] << 8, 10);

  // dump resizes the same way.
  ASSERT_EQ(Run("dump -r 8x-1:linear wide.bmp small.pam").status, 0);
  ASSERT_TRUE(test::ReadPamRgba(Path("small.pam"), got));
  EXPECT_EQ(got.width, 8);
  EXPECT_EQ(got.height, 4);
}

TEST_F(Cli, ConvertKeepsAlphaThroughBmp) {
  if (!test::HaveProgram("/usr/bin/convert")) GTEST_SKIP() << "/usr/bin/convert is not installed";
  ASSERT_EQ(test::RunCommand("cd " + ShellQuote(dir_.path().string()) +
                             " && /usr/bin/convert -size 5x3 gradient:red-blue -alpha set -channel "
                             "A -fx 'i/4' -define bmp:format=bmp4 alpha.bmp"),
            0);
  test::RgbaImage want;
  ASSERT_TRUE(PeerDecode(dir_.path(), "alpha.bmp", want));
  ASSERT_EQ(Run("convert -l BmpKeepAlpha=true alpha.bmp copy.bmp").status, 0);
  EXPECT_EQ(Run("dump -l BmpKeepAlpha=true copy.bmp copy.pam").status, 0);
  test::RgbaImage got;
  ASSERT_TRUE(test::ReadPamRgba(Path("copy.pam"), got));
  EXPECT_EQ(test::CountDifferentPixels(got, want), 0u);
  EXPECT_EQ(got.at(0, 0)[3], 0);
  EXPECT_EQ(got.at(4, 0)[3], 255);
  // Without BmpKeepAlpha the fourth byte is not alpha.
  Result info = Run("info copy.bmp");
  EXPECT_EQ(Value(info, "HasAlphaChannel"), "false");
}

TEST_F(Cli, DumpWritesThePixelsAsPam) {
  fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the corpus (../shared/corpus) is not there";
  // Files of the BMP Suite and the pictures they should show.
  for (auto [file, reference] :
       std::vector<std::pair<std::string, std::string>>{{"g/rgb24.bmp", "reference/rgb24.png"},
                                                        {"g/pal8.bmp", "reference/pal8.png"},
                                                        {"g/pal4rle.bmp", "reference/pal4.png"},
                                                        {"g/rgb32.bmp", "reference/rgb24.png"}}) {
    fs::path in = corpus / "bmpsuite" / file;
    Result r = Run("dump " + ShellQuote(in.string()) + " out.pam");
    EXPECT_EQ(r.status, 0) << file << r.err;
    test::RgbaImage pam, want;
    ASSERT_TRUE(test::ReadPamRgba(Path("out.pam"), pam)) << file;
    ASSERT_TRUE(test::ReadPngRgba(corpus / "bmpsuite" / reference, want)) << reference;
    EXPECT_EQ(test::CountDifferentPixels(pam, want), 0u) << file;
  }
  // -p before writing: gray levels.
  Result gray =
      Run("dump -p lx8g " + ShellQuote((corpus / "bmpsuite/g/rgb24.bmp").string()) + " gray.pam");
  EXPECT_EQ(gray.status, 0);
  test::RgbaImage pam;
  ASSERT_TRUE(test::ReadPamRgba(Path("gray.pam"), pam));
  EXPECT_EQ(pam.at(10, 10)[0], pam.at(10, 10)[2]);
  // A PNG of the PNG Suite, once the PNG reader is there.
  fs::path png = corpus / "pngsuite/png/basn2c08.png";
  Result p = Run("dump " + ShellQuote(png.string()) + " png.pam");
  if (p.status == 0) {
    test::RgbaImage want;
    ASSERT_TRUE(test::ReadPamRgba(Path("png.pam"), pam));
    ASSERT_TRUE(test::ReadPngRgba(png, want));
    EXPECT_EQ(test::CountDifferentPixels(pam, want), 0u);
  } else {
    EXPECT_EQ(p.status, 1);
    EXPECT_FALSE(fs::exists(Path("png.pam")));
  }
  EXPECT_EQ(Run("dump missing.png a.pam").status, 1);
  EXPECT_EQ(Run("dump " + ShellQuote((corpus / "bmpsuite/g/rgb24.bmp").string()) + " nowhere/a.pam")
                .status,
            2);
}

}  // namespace
}  // namespace lumenax

namespace lumenax {
namespace {

class CliStreams : public Cli {};

TEST_F(CliStreams, SeveralImagesIntoOneStreamAndBackOutWithDumpAll) {
  ASSERT_TRUE(Make("a.bmp") && Make("b.bmp")) << "ImageMagick missing";
  Result save = Run("convert --out-type bmp a.bmp -p lx8g b.bmp both.bin");
  ASSERT_EQ(save.status, 0) << save.err;
  Result dump = Run("dump --all both.bin out.pam");
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_TRUE(fs::exists(Path("out-1.pam")));
  EXPECT_TRUE(fs::exists(Path("out-2.pam")));
  EXPECT_FALSE(fs::exists(Path("out-3.pam")));
  // Standard input and output work like files.
  Result piped = Run("convert --out-type ftBmp - - < a.bmp > piped.bmp");
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(Run("info piped.bmp").status, 0);
}

TEST_F(CliStreams, TypesAllocationHeadersAndText) {
  ASSERT_TRUE(Make("a.bmp")) << "ImageMagick missing";
  ASSERT_EQ(test::RunCommand("cd " + ShellQuote(dir_.path().string()) +
                             " && /usr/bin/convert -size 5x3 gradient:red-blue -depth 8 rgb:a.rgb"),
            0);
  Result raw = Run("dump -t ftRawPixels --alloc 5x3:lx24RGB a.rgb raw.pam");
  EXPECT_EQ(raw.status, 0) << raw.err;
  Result noAlloc = Run("dump -t ftRawPixels a.rgb raw2.pam");
  EXPECT_EQ(noAlloc.status, 1);
  EXPECT_NE(noAlloc.err.find("not loadable: raw pixels need an allocated bitmap"), std::string::npos)
      << noAlloc.err;
  // Loading as the wrong type prints the reader's reason.
  Result wrong = Run("info -t png a.bmp");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("not loadable: "), std::string::npos) << wrong.err;

  Result header = Run("info --header-only a.bmp");
  EXPECT_EQ(header.status, 0) << header.err;
  EXPECT_NE(header.out.find("Width=5\n"), std::string::npos);
  EXPECT_NE(header.out.find("PixelFormat=lxNone\n"), std::string::npos) << "no pixels decoded";

  Result text = Run("text 3 a.bmp ramp.txt");
  EXPECT_EQ(text.status, 0) << text.err;
  std::vector<uint8_t> ramp = test::ReadFileBytes(Path("ramp.txt"));
  EXPECT_EQ(std::count(ramp.begin(), ramp.end(), '\n'), 3);
  EXPECT_EQ(Run("text 7 a.bmp x.txt").status, 3);

  // A raw bitmap record and back: the same pixels as the file it came from.
  ASSERT_EQ(Run("record -p lx8g a.bmp a.rec").status, 0);
  ASSERT_EQ(Run("dump --record a.rec rec.pam").status, 0);
  ASSERT_EQ(Run("dump -p lx8g a.bmp direct.pam").status, 0);
  EXPECT_EQ(test::ReadFileBytes(Path("rec.pam")), test::ReadFileBytes(Path("direct.pam")));
  Result notRecord = Run("info --record a.bmp");
  EXPECT_EQ(notRecord.status, 1);
  EXPECT_NE(notRecord.err.find("not a complete raw bitmap record"), std::string::npos);
  EXPECT_EQ(Run("info -t nosuchtype a.bmp").status, 3);
  EXPECT_EQ(Run("dump --alloc 5x3 a.bmp x.pam").status, 3);
}

TEST_F(Cli, ConvertToPsdInEveryWritableLayout) {
  if (!Make("in.png")) GTEST_SKIP() << "ImageMagick missing";
  for (const char* layout :
       {"lx1g", "lx8p", "lx8g", "lx16g", "lx24RGB", "lxCMYK", "lxRGB48", "lxCIELab", "lx32RGB"}) {
    SCOPED_TRACE(layout);
    Result r = Run(std::string("convert -p ") + layout + " in.png out.psd");
    ASSERT_EQ(r.status, 0) << r.err;
    Result info = Run("info -l IsNativePixelFormat=true out.psd");
    ASSERT_EQ(info.status, 0) << info.err;
    const std::string expect = std::string(layout) == "lx32RGB" ? "lx24RGB" : layout;
    EXPECT_NE(info.out.find("PixelFormat=" + expect + "\n"), std::string::npos) << info.out;
  }
  // Floating point has no PSD layout.
  Result f = Run("convert -p lx32f in.png out.psd");
  EXPECT_NE(f.status, 0);
}

}  // namespace
}  // namespace lumenax
