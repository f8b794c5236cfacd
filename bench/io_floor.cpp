// The floor of the uncompressed formats: a plain read() of a whole file into one block of
// pixel memory, or a plain write() of a block of pixel bytes to a file. Blocks are allocated
// as the library allocates bitmaps (2 MiB pages). Nothing of the library is linked.
//   io_floor read FILE          reads the file whole
//   io_floor write FILE BYTES   writes BYTES bytes (set, so the pages exist before the clock)
//                               to FILE made anew
// Prints the wall and processor seconds of the read or the write.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "floor_util.h"

using floor_util::Cpu;
using floor_util::Now;
using floor_util::PixelBlock;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string_view mode = argv[1];
  double t0 = 0, c0 = 0;
  if (mode == "read" && argc == 3) {
    t0 = Now();
    c0 = Cpu();
    const int fd = open(argv[2], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 1;
    const size_t size = size_t(st.st_size);
    unsigned char* px = PixelBlock(size);
    if (!px) return 1;
    for (size_t done = 0; done < size;) {
      const ssize_t n = read(fd, px + done, size - done);
      if (n <= 0) return 1;
      done += size_t(n);
    }
    close(fd);
    std::free(px);
  } else if (mode == "write" && argc == 4) {
    const size_t size = std::strtoull(argv[3], nullptr, 10);
    unsigned char* px = PixelBlock(size);
    if (!px) return 1;
    std::memset(px, 0x5a, size);
    // A new file, as the savers timed against this one make.
    unlink(argv[2]);
    t0 = Now();
    c0 = Cpu();
    const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    for (size_t done = 0; done < size;) {
      const ssize_t n = write(fd, px + done, size - done);
      if (n <= 0) return 1;
      done += size_t(n);
    }
    if (close(fd) != 0) return 1;
    std::free(px);
  } else {
    std::fprintf(stderr, "usage: io_floor read FILE | write FILE BYTES\n");
    return 2;
  }
  std::printf("%.4f %.4f\n", Now() - t0, Cpu() - c0);
  return 0;
}
