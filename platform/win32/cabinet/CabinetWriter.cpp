// Win32 implementation of the cabinet writer seam: cabinet.dll's FCI. Must contain only Win32-specific code.
#include "platform/CabinetWriter.h"

#include "platform/win32/system/SystemMessage.h"

#include <windows.h>
#include <fci.h>
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {
namespace {

// One cabinet being written: the FCI callbacks reach it through their pv argument.
struct Job {
  std::string tempDir;        // where FCI keeps its temporary files: beside the cabinet
  unsigned tempCounter = 0;
  DWORD lastError = 0;        // the system error of the last failed callback
  std::string problem;        // a refusal found by the open-info callback
};

std::string SystemText(DWORD code) {
  std::string text = win32::SystemMessage(code, nullptr, 512);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "system error " + std::to_string(code) : text;
}

HANDLE AsHandle(INT_PTR hf) { return reinterpret_cast<HANDLE>(hf); }

// Wine's FCI creates its data spill file only when a block is written, yet for a
// folder without data (an empty source file) it still seeks and closes that
// handle, -1. Reading that handle as an empty file gives the correct cabinet: a
// folder of no blocks. The system's own FCI never passes -1.
constexpr INT_PTR kNoFile = -1;

FNFCIALLOC(Alloc) { return std::malloc(cb); }
FNFCIFREE(Free) { std::free(memory); }

// FCI asks with C runtime open flags; they map onto CreateFileA as below.
FNFCIOPEN(Open) {
  (void)pmode;
  DWORD access = GENERIC_READ;
  if (oflag & (_O_WRONLY | _O_RDWR)) access = (oflag & _O_RDWR) ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  DWORD create = OPEN_EXISTING;
  if (oflag & _O_CREAT) {
    if (oflag & _O_EXCL) create = CREATE_NEW;
    else if (oflag & _O_TRUNC) create = CREATE_ALWAYS;
    else create = OPEN_ALWAYS;
  } else if (oflag & _O_TRUNC) {
    create = TRUNCATE_EXISTING;
  }
  HANDLE h = ::CreateFileA(pszFile, access, FILE_SHARE_READ, nullptr, create, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *err = static_cast<int>(::GetLastError());
    static_cast<Job*>(pv)->lastError = ::GetLastError();
    return -1;
  }
  return reinterpret_cast<INT_PTR>(h);
}

FNFCIREAD(Read) {
  if (hf == kNoFile) return 0;
  DWORD n = 0;
  if (!::ReadFile(AsHandle(hf), memory, cb, &n, nullptr)) {
    *err = static_cast<int>(::GetLastError());
    static_cast<Job*>(pv)->lastError = ::GetLastError();
    return static_cast<UINT>(-1);
  }
  return n;
}

FNFCIWRITE(Write) {
  DWORD n = 0;
  if (!::WriteFile(AsHandle(hf), memory, cb, &n, nullptr) || n != cb) {
    DWORD code = ::GetLastError();
    if (code == 0) code = ERROR_DISK_FULL;
    *err = static_cast<int>(code);
    static_cast<Job*>(pv)->lastError = code;
    return static_cast<UINT>(-1);
  }
  return n;
}

FNFCICLOSE(Close) {
  if (hf == kNoFile) return 0;
  if (!::CloseHandle(AsHandle(hf))) {
    *err = static_cast<int>(::GetLastError());
    static_cast<Job*>(pv)->lastError = ::GetLastError();
    return -1;
  }
  return 0;
}

FNFCISEEK(Seek) {
  if (hf == kNoFile) return 0;
  DWORD method = seektype == SEEK_CUR ? FILE_CURRENT : seektype == SEEK_END ? FILE_END : FILE_BEGIN;
  DWORD pos = ::SetFilePointer(AsHandle(hf), dist, nullptr, method);
  if (pos == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) {
    *err = static_cast<int>(::GetLastError());
    static_cast<Job*>(pv)->lastError = ::GetLastError();
    return -1;
  }
  return static_cast<LONG>(pos);
}

FNFCIDELETE(Delete) {
  (void)pv;
  if (!::DeleteFileA(pszFile)) {
    *err = static_cast<int>(::GetLastError());
    return -1;
  }
  return 0;
}

// A name that does not exist yet: FCI creates the file itself, exclusively.
FNFCIGETTEMPFILE(TempFile) {
  Job* job = static_cast<Job*>(pv);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = job->tempDir + "~nolt-fci-" + std::to_string(::GetCurrentProcessId()) + "-" +
                       std::to_string(job->tempCounter++) + ".tmp";
    if (name.size() >= static_cast<std::size_t>(cbTempName)) return FALSE;
    if (::GetFileAttributesA(name.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::memcpy(pszTempName, name.c_str(), name.size() + 1);
      return TRUE;
    }
  }
  return FALSE;
}

FNFCIFILEPLACED(FilePlaced) {
  (void)pccab, (void)pszFile, (void)cbFile, (void)fContinuation, (void)pv;
  return 0;
}

// One cabinet only: a file that does not fit is refused before FCI sees it.
FNFCIGETNEXTCABINET(NextCabinet) {
  (void)pccab, (void)cbPrevCab, (void)pv;
  return FALSE;
}

FNFCISTATUS(Status) {
  (void)typeStatus, (void)cb1, (void)cb2, (void)pv;
  return 0;
}

// MS-DOS dates span 1980 to 2107; a time outside (a build tool's epoch-0 stamp,
// say) is clamped to the nearest end instead of failing the whole release.
bool ToDosDateTime(const FILETIME& local, const SYSTEMTIME& when, USHORT* date, USHORT* time) {
  if (when.wYear < 1980) {
    *date = (0 << 9) | (1 << 5) | 1;
    *time = 0;
    return true;
  }
  if (when.wYear > 2107) {
    *date = (127 << 9) | (12 << 5) | 31;
    *time = (23 << 11) | (59 << 5) | 29;
    return true;
  }
  return ::FileTimeToDosDateTime(&local, date, time);
}

// Opens the source and gives its date and time: the last write, in local time.
FNFCIGETOPENINFO(OpenInfo) {
  Job* job = static_cast<Job*>(pv);
  HANDLE h = ::CreateFileA(pszName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *err = static_cast<int>(::GetLastError());
    job->lastError = ::GetLastError();
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  FILETIME local;
  SYSTEMTIME when;
  if (!::GetFileInformationByHandle(h, &info) || !::FileTimeToLocalFileTime(&info.ftLastWriteTime, &local) ||
      !::FileTimeToSystemTime(&local, &when) || !ToDosDateTime(local, when, pdate, ptime)) {
    job->lastError = ::GetLastError();
    *err = static_cast<int>(job->lastError);
    ::CloseHandle(h);
    return -1;
  }
  // The size was checked before; a file that grew since is refused here.
  if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kCabinetMaxFileSize) {
    job->problem = std::string(pszName) + ": more bytes than a cabinet holds";
    *err = ERROR_FILE_TOO_LARGE;
    ::CloseHandle(h);
    return -1;
  }
  *pattribs = kCabinetEntryAttributes;
  return reinterpret_cast<INT_PTR>(h);
}

std::string FciErrorText(const ERF& erf, const Job& job, const std::string& sourcePath) {
  if (!job.problem.empty()) return job.problem;
  std::string system = job.lastError ? ": " + SystemText(job.lastError) : std::string();
  switch (erf.erfOper) {
    case FCIERR_OPEN_SRC: return sourcePath + ": cannot open" + system;
    case FCIERR_READ_SRC: return sourcePath + ": cannot read" + system;
    case FCIERR_ALLOC_FAIL: return "out of memory";
    case FCIERR_TEMP_FILE: return "cannot write a temporary file" + system;
    case FCIERR_BAD_COMPR_TYPE: return "compression type not supported";
    case FCIERR_CAB_FILE: return "cannot write the cabinet" + system;
    case FCIERR_USER_ABORT: return "aborted";
    case FCIERR_MCI_FAIL: return "compression failed";
    default: return "cabinet library error " + std::to_string(erf.erfOper) + system;
  }
}

class FciCabinetWriter final : public CabinetWriter {
 public:
  bool WriteSingleFileCabinet(const std::string& cabPath, const std::string& sourcePath,
                              const std::string& entryName, std::string* error) override {
    if (HoldsNul(cabPath) || HoldsNul(sourcePath) || HoldsNul(entryName)) {
      *error = "a path or the entry name holds a NUL byte";
      return false;
    }
    if (entryName.empty() || entryName.size() > kCabinetMaxNameLength) {
      *error = "entry name must have 1 to " + std::to_string(kCabinetMaxNameLength) + " bytes: \"" + entryName + "\"";
      return false;
    }
    WIN32_FILE_ATTRIBUTE_DATA attr;
    if (!::GetFileAttributesExA(sourcePath.c_str(), GetFileExInfoStandard, &attr)) {
      *error = sourcePath + ": " + SystemText(::GetLastError());
      return false;
    }
    if (attr.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      *error = sourcePath + ": not a regular file";
      return false;
    }
    std::uint64_t size = (static_cast<std::uint64_t>(attr.nFileSizeHigh) << 32) | attr.nFileSizeLow;
    if (size > kCabinetMaxFileSize) {
      *error = sourcePath + ": " + std::to_string(size) + " bytes is more than a cabinet holds (" +
               std::to_string(kCabinetMaxFileSize) + ")";
      return false;
    }

    // FCI names the cabinet as a directory (with its separator) and a file name.
    std::string::size_type slash = cabPath.find_last_of("\\/:");
    std::string dir = slash == std::string::npos ? std::string() : cabPath.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? cabPath : cabPath.substr(slash + 1);
    CCAB ccab;
    std::memset(&ccab, 0, sizeof ccab);
    if (dir.size() >= sizeof ccab.szCabPath || name.size() >= sizeof ccab.szCab ||
        sourcePath.size() >= MAX_PATH) {
      *error = cabPath + ": path too long";
      return false;
    }
    ccab.cb = CB_MAX_DISK;
    ccab.cbFolderThresh = CB_MAX_DISK;
    ccab.iCab = 1;
    std::memcpy(ccab.szCabPath, dir.c_str(), dir.size() + 1);
    std::memcpy(ccab.szCab, name.c_str(), name.size() + 1);

    if (!::DeleteFileA(cabPath.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND) {
      *error = cabPath + ": " + SystemText(::GetLastError());
      return false;
    }

    Job job;
    job.tempDir = dir;
    ERF erf;
    std::memset(&erf, 0, sizeof erf);
    HFCI fci = ::FCICreate(&erf, FilePlaced, Alloc, Free, Open, Read, Write, Close, Seek, Delete, TempFile, &ccab,
                           &job);
    if (!fci) {
      *error = FciErrorText(erf, job, sourcePath);
      return false;
    }
    // FCI takes writable strings.
    std::string src = sourcePath, entry = entryName;
    bool ok = ::FCIAddFile(fci, src.data(), entry.data(), FALSE, NextCabinet, Status, OpenInfo, tcompTYPE_MSZIP) &&
              ::FCIFlushCabinet(fci, FALSE, NextCabinet, Status);
    if (!ok) *error = FciErrorText(erf, job, sourcePath);
    ::FCIDestroy(fci);
    if (!ok) ::DeleteFileA(cabPath.c_str());
    return ok;
  }
};

}  // namespace

template <> CabinetWriter& SystemInstance<CabinetWriter>() {
  static FciCabinetWriter* instance = new FciCabinetWriter;
  return *instance;
}

}  // namespace plat
