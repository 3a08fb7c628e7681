// Error codes of the library, their English messages, and the exception
// that ends an operation.
#pragma once

#include <stdexcept>
#include <string>

namespace qmx {

// Raised by RaiseError; the operation that started the work catches it.
class E_RAISE : public std::runtime_error {
 public:
  explicit E_RAISE(const std::string& msg) : std::runtime_error(msg) {}
};

// Message of an error code, exactly as the message table has it; empty for
// a code without a message.
std::string ErrorMessage(int code);

// Codes the framework itself uses by name.
inline constexpr int E_BAD_LOCAL_OFFSET = 25115;
inline constexpr int E_BAD_BLOCK = 25116;
inline constexpr int E_WRITE_FILE = 25136;
inline constexpr int E_CLOSE_FILE = 25138;
inline constexpr int E_INCOMPLETE_CODE_SET = 25139;
inline constexpr int E_CORRUPT_INPUT = 25140;
inline constexpr int E_CRC_FAIL = 25151;
inline constexpr int E_INVALID_DECODE_TREE = 25152;
inline constexpr int E_INVALID_DIR = 25158;
inline constexpr int E_DISK_FULL = 25160;
inline constexpr int E_EOL_NOT_FOUND = 25178;
inline constexpr int E_SAME_FILES = 25191;
inline constexpr int E_FILE_NOT_FOUND = 25192;
inline constexpr int E_SIZE_DIFFERENT = 25193;
inline constexpr int E_OPEN_FILE = 25235;
inline constexpr int E_READ_FILE = 25236;
inline constexpr int E_LINE_BEFORE_BEGIN = 25241;
inline constexpr int E_UNSUPPORTED_TYPE = 25244;
inline constexpr int E_INVALID_NAME = 25245;
inline constexpr int E_MAX_VOLUMES = 25251;
inline constexpr int E_NAME_MISMATCH = 25252;
inline constexpr int E_OUT_OF_MEMORY_STREAM = 25254;
inline constexpr int E_ENTRY_OVERLAP = 25257;
inline constexpr int E_HEADER_NOT_FOUND = 25259;
inline constexpr int E_CENTRAL_DAMAGED = 25263;
inline constexpr int E_NOTHING_TO_DO = 25268;
inline constexpr int E_MULTIPART_GZIP = 25264;
inline constexpr int E_CENTRAL_OFFSET = 25269;
inline constexpr int E_EVENT_NOT_ASSIGNED = 25270;
inline constexpr int E_PROPERTY_NOT_ASSIGNED = 25271;
inline constexpr int E_PASSWORD_PROTECTED = 25290;
inline constexpr int E_STACK_OVERFLOW = 25305;
inline constexpr int E_UNSUPPORTED_METHOD = 25326;
inline constexpr int E_UNKNOWN_FILE_TYPE = 25327;
inline constexpr int E_VERSION = 25402;
inline constexpr int E_USER_CANCELED = 25443;
inline constexpr int E_INVALID_PASSWORD = 26517;
inline constexpr int E_NOTHING_TO_DO_2 = 26859;
inline constexpr int E_SKIPPED_FILE = 26800;
inline constexpr int E_DIR_NOT_EXIST_CREATE = 26899;

}  // namespace qmx
