// TCabLibrary drives libmspack's cabinet decompressor over our own file
// streams: a cabinet may start behind a self-extractor stub, the next
// cabinets of a set are named by the caller, decoded data goes to a sink
// instead of a file, and what the library allocates is capped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct mscabd_cabinet;
struct mscabd_file;

namespace qmx {

// Receives decoded bytes; false stops the extraction (write error, cancel).
using TCabSink = std::function<bool(const void* data, std::int64_t count)>;

class TCabLibrary {
 public:
  TCabLibrary();
  ~TCabLibrary();
  TCabLibrary(const TCabLibrary&) = delete;
  TCabLibrary& operator=(const TCabLibrary&) = delete;

  // False when libmspack could not be set up.
  bool Ready() const;

  // Opens the cabinet that starts at byte `offset` of path; nullptr and the
  // library's error code when it is not one. The cabinet stays owned here.
  mscabd_cabinet* Open(const std::string& path, std::int64_t offset, int& error);
  // Joins next (or prev) to cab's set; the library's error code.
  int Append(mscabd_cabinet* cab, mscabd_cabinet* next);
  int Prepend(mscabd_cabinet* cab, mscabd_cabinet* prev);

  // Decodes file into sink; the library's error code (MSPACK_ERR_OK = 0).
  // Checksums of the data blocks are verified.
  int Extract(mscabd_file* file, const TCabSink& sink);

  // Polled before each read; true makes the read fail.
  std::function<bool()> Canceled;

  // Text of a library error code.
  static std::string ErrorText(int error);

  struct TSystem;

 private:
  int Join(mscabd_cabinet* cab, mscabd_cabinet* other, bool append);
  std::unique_ptr<TSystem> FSystem;
};

}  // namespace qmx
