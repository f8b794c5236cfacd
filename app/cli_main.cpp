// veltrano-cli: the converter from a shell. Every BMP file given (or found in a folder) is
// written again as PNG beside it, every PNG file as BMP.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "app/cli.h"
#include "io/lumenax_io.h"
#include "io/startup.h"

int main(int argc, char** argv) {
  lumenax::LumenaxStartup();
  // Files committed in groups stay open until their group is flushed: allow as many open
  // files as the system lets this process have.
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  veltrano::CliStreams streams{stdout, stderr, isatty(STDERR_FILENO) == 1};
  return veltrano::RunCli(argc, argv, streams);
}
