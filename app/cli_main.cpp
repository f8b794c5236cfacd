// veltrano-cli: the converter from a shell. Every BMP file given (or found in a folder) is
// written again as PNG beside it, every PNG file as BMP.
#include <unistd.h>

#include <cstdio>

#include "app/cli.h"
#include "io/lumenax_io.h"
#include "io/startup.h"

int main(int argc, char** argv) {
  lumenax::LumenaxStartup();
  veltrano::CliStreams streams{stdout, stderr, isatty(STDERR_FILENO) == 1};
  return veltrano::RunCli(argc, argv, streams);
}
