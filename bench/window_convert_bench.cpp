// The window's convert command on the files given, with the window's platform replaced by
// one that lists them and prints its messages: the engine the window converts with.
// Usage: window_convert_bench WORKERS FILE...
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/converter.h"
#include "io/startup.h"

namespace {

class ListPlatform : public veltrano::ConverterPlatform {
 public:
  std::vector<std::string> items;
  bool OpenDialog(const std::string&, uint32_t, std::vector<std::string>&) override {
    return false;
  }
  void ListAppend(const std::string& name) override { items.push_back(name); }
  void ListClear() override { items.clear(); }
  std::vector<std::string> ListItems() override { return items; }
  void MessageBox(const std::string& text, const std::string&) override {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_convert_bench WORKERS FILE...\n");
    return 2;
  }
  lumenax::LumenaxStartup();
  ListPlatform platform;
  for (int i = 2; i < argc; ++i) platform.ListAppend(argv[i]);
  veltrano::ConverterCommands commands(platform);
  commands.SetWorkers(std::atoi(argv[1]));
  try {
    commands.btnConvertClick();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
