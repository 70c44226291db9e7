// The words of the system error numbers the seams report (SystemErrors.h).
#include "platform/SystemErrors.h"

#include "platform/Files.h"

namespace plat {

std::string SystemErrorMessage(std::uint32_t code) {
  switch (code) {
    case 0: return "The operation completed successfully";
    case kErrorFileNotFound: return "The system cannot find the file specified";
    case kErrorPathNotFound: return "The system cannot find the path specified";
    case kErrorAccessDenied: return "Access is denied";
    case kErrorInvalidHandle: return "The handle is invalid";
    case 8: return "Not enough memory resources are available to process this command";
    case kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process";
    case 87: return "The parameter is incorrect";
    case 122: return "The data area passed to a system call is too small";
    case 223: return "The file size exceeds the limit allowed and cannot be saved";
    case kErrorAlreadyExists:
    case kErrorFileExists: return "The file exists";
    case kErrorDiskFull: return "There is not enough space on the disk";
    case kErrorInvalidName: return "The filename, directory name, or volume label syntax is incorrect";
    default: return {};
  }
}

}  // namespace plat
