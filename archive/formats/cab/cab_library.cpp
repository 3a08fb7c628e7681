#include "archive/formats/cab/cab_library.h"

#include <mspack.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <new>
#include <vector>

#include "archive/codec/streams.h"

namespace qmx {
namespace {

// The LZX and Quantum windows take up to 2 MiB each and the file list grows
// with the headers the cabinets really hold; anything beyond this is a
// hostile header, not a cabinet.
constexpr std::size_t kAllocationCap = std::size_t(256) << 20;

struct TCabFile {
  TCabLibrary::TSystem* Owner = nullptr;
  std::unique_ptr<TFileStream32> Stream;  // empty for the output sink
  std::int64_t Base = 0;
};

}  // namespace

struct TCabLibrary::TSystem {
  mspack_system Sys{};  // first: libmspack hands back its address
  mscab_decompressor* Decompressor = nullptr;
  std::vector<mscabd_cabinet*> Opened;
  std::map<std::string, std::int64_t> Offsets;
  // libmspack keeps the name pointers it was given.
  std::list<std::string> Names;
  const TCabSink* Sink = nullptr;
  TCabLibrary* Owner = nullptr;
  std::size_t Allocated = 0;
};

namespace {

// libmspack hands its decompressors a copy of our mspack_system, so the
// callbacks cannot find us through it: each call into the library names
// the system it runs for.
thread_local TCabLibrary::TSystem* gActive = nullptr;

TCabLibrary::TSystem* SystemOf(mspack_system*) {
  return gActive;
}

struct TActive {
  TCabLibrary::TSystem* saved;
  explicit TActive(TCabLibrary::TSystem* s) : saved(gActive) { gActive = s; }
  ~TActive() { gActive = saved; }
};

mspack_file* SysOpen(mspack_system* self, const char* filename, int mode) {
  TCabLibrary::TSystem* sys = SystemOf(self);
  if (!sys) return nullptr;
  auto* f = new (std::nothrow) TCabFile;
  if (!f) return nullptr;
  f->Owner = sys;
  if (mode == MSPACK_SYS_OPEN_READ) {
    f->Stream = std::make_unique<TFileStream32>(filename, fmOpenRead);
    if (f->Stream->Handle() < 0) {
      delete f;
      return nullptr;
    }
    auto it = sys->Offsets.find(filename);
    f->Base = it == sys->Offsets.end() ? 0 : it->second;
    if (f->Base > 0 && f->Stream->Seek(f->Base, soFromBeginning) != f->Base) {
      delete f;
      return nullptr;
    }
  } else if (mode != MSPACK_SYS_OPEN_WRITE || !sys->Sink) {
    // Only decoded data is ever written, and only to the sink.
    delete f;
    return nullptr;
  }
  return reinterpret_cast<mspack_file*>(f);
}

void SysClose(mspack_file* file) {
  delete reinterpret_cast<TCabFile*>(file);
}

int SysRead(mspack_file* file, void* buffer, int bytes) {
  auto* f = reinterpret_cast<TCabFile*>(file);
  if (!f->Stream || bytes < 0) return -1;
  TCabLibrary* owner = f->Owner->Owner;
  if (owner->Canceled && owner->Canceled()) return -1;
  try {
    return static_cast<int>(f->Stream->Read(buffer, bytes));
  } catch (...) {
    return -1;
  }
}

int SysWrite(mspack_file* file, void* buffer, int bytes) {
  auto* f = reinterpret_cast<TCabFile*>(file);
  const TCabSink* sink = f->Owner->Sink;
  if (f->Stream || !sink || bytes < 0) return -1;
  if (bytes == 0) return 0;
  try {
    return (*sink)(buffer, bytes) ? bytes : -1;
  } catch (...) {
    return -1;
  }
}

int SysSeek(mspack_file* file, off_t offset, int mode) {
  auto* f = reinterpret_cast<TCabFile*>(file);
  if (!f->Stream) return -1;
  std::int64_t target;
  switch (mode) {
    case MSPACK_SYS_SEEK_START:
      target = f->Base + offset;
      break;
    case MSPACK_SYS_SEEK_CUR:
      target = f->Stream->Position() + offset;
      break;
    case MSPACK_SYS_SEEK_END:
      target = f->Stream->Size() + offset;
      break;
    default:
      return -1;
  }
  // Never before the cabinet, never past the file: a header offset that
  // points there is damage.
  if (target < f->Base || target > f->Stream->Size()) return -1;
  return f->Stream->Seek(target, soFromBeginning) == target ? 0 : -1;
}

off_t SysTell(mspack_file* file) {
  auto* f = reinterpret_cast<TCabFile*>(file);
  if (!f->Stream) return -1;
  return static_cast<off_t>(f->Stream->Position() - f->Base);
}

void SysMessage(mspack_file*, const char*, ...) {
  // The library's own diagnostics; our callers report by error code.
}

// Each block remembers its size so that the cap can be kept.
constexpr std::size_t kHead = alignof(max_align_t);

void* SysAlloc(mspack_system* self, size_t bytes) {
  TCabLibrary::TSystem* sys = SystemOf(self);
  if (!sys) return nullptr;
  if (bytes > kAllocationCap || sys->Allocated + bytes > kAllocationCap) return nullptr;
  auto* p = static_cast<unsigned char*>(std::malloc(bytes + kHead));
  if (!p) return nullptr;
  std::memcpy(p, &bytes, sizeof bytes);
  std::memcpy(p + sizeof bytes, &sys, sizeof sys);
  sys->Allocated += bytes;
  return p + kHead;
}

void SysFree(void* ptr) {
  if (!ptr) return;
  auto* p = static_cast<unsigned char*>(ptr) - kHead;
  std::size_t bytes;
  TCabLibrary::TSystem* sys;
  std::memcpy(&bytes, p, sizeof bytes);
  std::memcpy(&sys, p + sizeof bytes, sizeof sys);
  sys->Allocated -= bytes;
  std::free(p);
}

void SysCopy(void* src, void* dest, size_t bytes) {
  std::memmove(dest, src, bytes);
}

}  // namespace

static_assert(2 * sizeof(void*) <= kHead, "allocation header too small");

TCabLibrary::TCabLibrary() : FSystem(std::make_unique<TSystem>()) {
  TSystem& s = *FSystem;
  s.Owner = this;
  s.Sys.open = SysOpen;
  s.Sys.close = SysClose;
  s.Sys.read = SysRead;
  s.Sys.write = SysWrite;
  s.Sys.seek = SysSeek;
  s.Sys.tell = SysTell;
  s.Sys.message = SysMessage;
  s.Sys.alloc = SysAlloc;
  s.Sys.free = SysFree;
  s.Sys.copy = SysCopy;
  s.Sys.null_ptr = nullptr;
  int selftest = MSPACK_ERR_OK;
  TActive active(&s);
  MSPACK_SYS_SELFTEST(selftest);
  if (selftest != MSPACK_ERR_OK) return;
  s.Decompressor = mspack_create_cab_decompressor(&s.Sys);
  if (!s.Decompressor) return;
  // Damaged data is an error of its entry, never silently repaired.
  s.Decompressor->set_param(s.Decompressor, MSCABD_PARAM_FIXMSZIP, 0);
  s.Decompressor->set_param(s.Decompressor, MSCABD_PARAM_SALVAGE, 0);
  s.Decompressor->set_param(s.Decompressor, MSCABD_PARAM_DECOMPBUF, 65536);
}

TCabLibrary::~TCabLibrary() {
  TSystem& s = *FSystem;
  if (!s.Decompressor) return;
  TActive active(&s);
  for (auto it = s.Opened.rbegin(); it != s.Opened.rend(); ++it)
    s.Decompressor->close(s.Decompressor, *it);
  mspack_destroy_cab_decompressor(s.Decompressor);
}

bool TCabLibrary::Ready() const {
  return FSystem->Decompressor != nullptr;
}

mscabd_cabinet* TCabLibrary::Open(const std::string& path, std::int64_t offset, int& error) {
  TSystem& s = *FSystem;
  error = MSPACK_ERR_ARGS;
  if (!s.Decompressor) return nullptr;
  TActive active(&s);
  s.Offsets[path] = offset < 0 ? 0 : offset;
  s.Names.push_back(path);
  mscabd_cabinet* cab = s.Decompressor->open(s.Decompressor, s.Names.back().c_str());
  error = s.Decompressor->last_error(s.Decompressor);
  if (!cab) {
    if (error == MSPACK_ERR_OK) error = MSPACK_ERR_SIGNATURE;
    return nullptr;
  }
  s.Opened.push_back(cab);
  return cab;
}

int TCabLibrary::Append(mscabd_cabinet* cab, mscabd_cabinet* next) {
  return Join(cab, next, true);
}

int TCabLibrary::Join(mscabd_cabinet* cab, mscabd_cabinet* other, bool append) {
  TSystem& s = *FSystem;
  if (!s.Decompressor) return MSPACK_ERR_ARGS;
  TActive active(&s);
  const int r = append ? s.Decompressor->append(s.Decompressor, cab, other)
                       : s.Decompressor->prepend(s.Decompressor, cab, other);
  // Closing one cabinet of a set frees the whole set.
  if (r == MSPACK_ERR_OK)
    s.Opened.erase(std::remove(s.Opened.begin(), s.Opened.end(), other), s.Opened.end());
  return r;
}

int TCabLibrary::Prepend(mscabd_cabinet* cab, mscabd_cabinet* prev) {
  return Join(cab, prev, false);
}

int TCabLibrary::Extract(mscabd_file* file, const TCabSink& sink) {
  TSystem& s = *FSystem;
  if (!s.Decompressor || !file) return MSPACK_ERR_ARGS;
  TActive active(&s);
  s.Sink = &sink;
  // Any name: our open() sends every written byte to the sink.
  const int r = s.Decompressor->extract(s.Decompressor, file, "cabinet entry");
  s.Sink = nullptr;
  return r;
}

std::string TCabLibrary::ErrorText(int error) {
  switch (error) {
    case MSPACK_ERR_OK:
      return "no error";
    case MSPACK_ERR_OPEN:
      return "cannot open a cabinet file";
    case MSPACK_ERR_READ:
      return "read error or truncated cabinet";
    case MSPACK_ERR_WRITE:
      return "write error";
    case MSPACK_ERR_SEEK:
      return "offset outside the cabinet";
    case MSPACK_ERR_NOMEMORY:
      return "cabinet needs more memory than allowed";
    case MSPACK_ERR_SIGNATURE:
      return "not a cabinet";
    case MSPACK_ERR_DATAFORMAT:
      return "damaged cabinet data";
    case MSPACK_ERR_CHECKSUM:
      return "data block checksum error";
    case MSPACK_ERR_DECRUNCH:
      return "data error while decompressing";
    default:
      return "cabinet library error " + std::to_string(error);
  }
}

}  // namespace qmx
