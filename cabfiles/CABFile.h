// TCABFile: a non-visual component that lists the entries of a cabinet archive or
// writes them below a target directory, through the system cabinet library's FDI
// operations. It creates the directories that entry names carry, asks before it
// replaces a file, reports write progress and gives every file the cabinet's date.
//
// Each entry is written to a temporary file beside its target and moved over the
// target once complete, so a failed or interrupted extraction never leaves a
// half-written file in place of a good one. Entry names that are absolute, carry a
// drive or climb out of the target with ".." are not written.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Component.h"
#include "install/StagedFile.h"
#include "platform/Cabinet.h"
#include "platform/Files.h"

namespace nolt {

// Stored in the form description; nothing reads them (the component only extracts).
enum TCompressionType : std::uint8_t { typNone = 0, typMSZIP = 1, typLZX = 2 };
enum TLZXMemory : std::uint8_t { lzxLowest = 0, lzxLower, lzxLow, lzxMedium, lzxHigh, lzxHigher, lzxHighest };

using TCompressProgress = std::function<void(TObject* Sender, int pos, int tot)>;
using TDeCompressProgress = std::function<void(TObject* Sender, const std::string& FileName, int pos, int tot)>;
using TOverWriteFile = std::function<void(TObject* Sender, const std::string& FileName, bool& Allow)>;
// An entry written whole to TempFile (closed), before it replaces its target.
using TVerifyFile =
    std::function<void(TObject* Sender, const std::string& FileName, const std::string& TempFile, bool& Allow)>;

class TCABFile;
class TCABFileContents;

// One entry of a cabinet as the last ReadContents found it.
class TCABFileEntry : public TObject {
 public:
  explicit TCABFileEntry(TCABFileContents* collection) : Collection(collection) {}

  std::string Name;            // exactly as stored, with its directory part
  std::int32_t FileSize = 0;   // uncompressed size
  TDateTime FileDate = 0;      // the DOS date and time; 0 when they are no valid date
  std::string RelPath;         // stored only

  TCABFileContents* Collection;
};

class TCABFileContents : public TObject {
 public:
  explicit TCABFileContents(TCABFile* owner) : owner_(owner) {}
  TCABFileEntry& Add();
  TCABFileEntry& operator[](int i) { return *items_.at(static_cast<std::size_t>(i)); }
  const TCABFileEntry& operator[](int i) const { return *items_.at(static_cast<std::size_t>(i)); }
  int Count() const { return static_cast<int>(items_.size()); }
  void Clear() { items_.clear(); }
  // The owning component (the streaming system asks for it).
  TCABFile* GetOwner() const { return owner_; }

 private:
  TCABFile* owner_;
  std::vector<std::unique_ptr<TCABFileEntry>> items_;
};

class TCABFile : public TComponent {
 public:
  explicit TCABFile(TComponent* owner = nullptr);
  ~TCABFile() override;
  TCABFile(const TCABFile&) = delete;
  TCABFile& operator=(const TCABFile&) = delete;

  // Fills CABFileContents with the cabinet's entries; writes nothing.
  void ReadContents();
  // Writes every entry below TargetPath. False when the cabinet could not be
  // read, an entry could not be written or was refused for its name; entries
  // written before a failure stay.
  bool ExtractAll();

  // "1.4.0.3", from the version number 0x01040003; writing has no effect.
  std::string Version() const;
  void SetVersion(const std::string&) {}

  // The directory prefix of an entry name with its final separator:
  // "a\b/c\d.txt" -> "a\b/c\", "sub\x.dll" -> "sub\", "x.dll" -> "".
  static std::string EntryDir(const std::string& name);

  // Published properties, in declaration order.
  TCABFileContents CABFileContents{this};
  std::string CABFile;
  TCompressionType CompressionType = typMSZIP;
  TLZXMemory LZXMemory = lzxLowest;
  std::string TargetPath;
  TCompressProgress OnCompressProgress;
  TDeCompressProgress OnDecompressProgress;
  TOverWriteFile OnOverWriteFile;
  // Not stored: asked for every entry once it is written whole, with its name as
  // stored and its temporary file; Allow false keeps the target as it is, removes
  // the temporary file and makes ExtractAll false.
  TVerifyFile OnVerifyFile;

  // Run state, readable by tests and tools.
  bool ExtractMode = false;
  std::string ProgressFile;         // the entry being written, as stored
  std::int32_t ProgressPos = 0;     // bytes written to it so far
  std::int32_t ProgressTotal = 0;   // its size as the cabinet states it
  // Result of the last run: 0 success, -1 failure (ReadContents reports none itself).
  std::int32_t LastRunResult = 0;

 protected:
  // One run of the cabinet library over CABFile: 0 on success, -1 on any failure.
  std::int32_t ProcessCabinet();

  // Shows the system's text for an OS error code in a warning box titled "Error";
  // a code of 0 shows nothing.
  static void ShowOSError(std::uint32_t code);

 private:
  // The FDI callbacks handed to FDICreate, in the forms FDI prescribes.
  static void* FdiAlloc(std::uint32_t cb);
  static void FdiFree(void* pv);
  static std::intptr_t FdiOpen(char* pszFile, int oflag, int pmode);
  static std::uint32_t FdiRead(std::intptr_t hf, void* pv, std::uint32_t cb);
  static std::uint32_t FdiWrite(std::intptr_t hf, void* pv, std::uint32_t cb);
  static int FdiClose(std::intptr_t hf);
  static std::int32_t FdiSeek(std::intptr_t hf, std::int32_t dist, int seektype);
  static std::intptr_t FdiNotify(plat::FdiNotificationType fdint, plat::FdiNotification* pfdin);

  std::int32_t RunLibrary();
  std::intptr_t ListEntry(const plat::FdiNotification& n);
  std::intptr_t OpenEntry(const plat::FdiNotification& n);
  std::intptr_t CloseEntry(const plat::FdiNotification& n);
  std::intptr_t NextCabinet(const plat::FdiNotification& n);
  // The entry being written: its temporary file beside the target, and its size
  // as the cabinet states it.
  StagedFile entry_;
  std::uint32_t entrySize_ = 0;
  bool entryFailed_ = false;         // an entry was refused for its name or not installed
  std::string askedNextCabinet_;     // the continuation cabinet asked for last
  std::exception_ptr handlerError_;  // an event handler's exception, raised after the run
};

// The component whose entry is being written; the write callback reports progress to it.
extern TCABFile* ActiveCabinet;

}  // namespace nolt
