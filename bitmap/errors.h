// Exceptions of the library. Codecs never throw for bad data (they set Aborting); these are
// for the platform: files that cannot be opened or created, short reads and writes on
// exact-count stream operations, and the few writer errors that travel to the caller.
#pragma once

#include <stdexcept>
#include <string>

namespace lumenax {

class ELxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EStreamError : public ELxError {
 public:
  using ELxError::ELxError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
// Input/output failure outside the stream classes (temporary paging files, directories).
class EInOutError : public ELxError {
 public:
  using ELxError::ELxError;
};
// A graphic could not be encoded (raised by the PNG writer).
class EInvalidGraphic : public ELxError {
 public:
  using ELxError::ELxError;
};

}  // namespace lumenax
