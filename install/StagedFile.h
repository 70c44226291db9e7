// The one way a file is installed: its bytes go to a temporary file in the target's
// directory, which replaces the target in one step when it is complete. Every
// other way out (Discard, a failed write, destruction) removes the temporary file,
// and an existing target stays as it was: a cancel, a broken connection, a damaged
// cabinet or a killed process never leaves half a file in place of a good one.
// The finished file's data is flushed to the disk before the rename, and the
// rename itself after it, so a power loss leaves the old file or the whole new one.
// Two ways to make that cheaper, where the guarantee allows:
// - SetDurable(false) for a file whose content is checked before anything relies on
//   it (a package: every file unpacked from it is checked against the manifest
//   before it is installed). A power loss may then leave it torn, which costs a
//   new download, never a wrong file.
// - A DirectoryFlushes scope: the directory of each rename is flushed once, when
//   the scope ends, instead of after every rename. Until then a power loss may undo
//   a rename, which leaves the old file: still old or new, never torn.
//
// Temporary files are named ".nolt-" + six letters or digits + ".tmp", a form no
// other program uses: what a killed process left can be recognised (IsTempName)
// and removed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Files.h"

namespace nolt {

class StagedFile {
 public:
  static constexpr std::uint32_t kWriteChunk = 64 * 1024;

  static constexpr const char* kTempPrefix = ".nolt-";
  static constexpr const char* kTempSuffix = ".tmp";
  // True for a file name (without directory) of the form of our temporary files.
  static bool IsTempName(const std::string& fileName);
  // Removes from dir (ending in a separator) the temporary files of our form that a
  // killed process left: regular files, no links, that no live process holds open (a
  // temporary file is held while it is written, see plat::Files::CreateTempFileIn).
  // A file that cannot be removed now (Windows: a program still runs from it) is
  // removed at the next start of the system where that is allowed.
  static void RemoveLeftovers(const std::string& dir);

  StagedFile() = default;
  ~StagedFile() { Discard(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Creates the temporary file beside target, after discarding any earlier one.
  // False, with nothing created, when target names no file (it is empty or ends in
  // a separator) or its directory takes no new file.
  bool Create(const std::string& target);
  // Writes on at the end of a file that the caller names beside target: the kept
  // beginning of a download, `keep` bytes long (0: started anew, the file is made
  // empty). Unlike a temporary file it stays when the writing stops: Keep closes it
  // for a later call to continue; Commit moves it over target, Discard removes it.
  // False, with nothing changed, when it cannot be opened or is not `keep` bytes long.
  bool Continue(const std::string& target, const std::string& partial, std::uint64_t keep);

  // Gathered writes, for a transfer that writes block by block. The bytes are
  // written in writes of kWriteChunk: one system call per 4 KiB block would cost
  // more than the network does on a fast link. A failed write removes the temporary
  // file and raises plat::EInOutError.
  void Write(const void* data, std::uint32_t count);
  // Room for the next count bytes (at most kWriteChunk), to read a block straight
  // into the write buffer without another copy; Append then keeps what was read.
  char* NextBlock(std::uint32_t count);
  void Append(std::uint32_t count) {
    pendingSize_ += count;
    written_ += count;
  }

  // Copies up to count bytes from the position of source onto the end of the file,
  // by the system where it can (plat::Files::CopyFileChunk); *copied is 0 at the end
  // of source. False when reading source failed (GetLastError tells why); a failed
  // write removes the temporary file and raises as Write does.
  bool CopyFrom(plat::FileHandle source, std::uint32_t count, std::uint32_t* copied);

  // Direct writes, for a library that writes through the handle itself (a cabinet
  // decoder): it reports each count that reached the file with Wrote.
  plat::FileHandle Handle() const { return file_; }
  bool Holds(plat::FileHandle h) const { return state_ == State::Open && file_ == h; }
  void Wrote(std::uint32_t count) {
    written_ += count;
    StartWriteOut();
  }
  // Every byte given to the file so far, gathered or direct.
  std::uint64_t Written() const { return written_; }

  // Writes what is gathered (raising as Write does), gives the file the permissions
  // of a file installed at the target (plat::Files::FinishInstalledFile), flushes
  // its data to the disk and closes it. False when the flush or the close fails;
  // plat::files().GetLastError() tells why, and the temporary file stays until
  // Commit or Discard, which will not install it.
  bool Close();
  // Closes the file without finishing it, for a writer that gives it up: Commit
  // will not install it, and Discard (or the next Create) removes it.
  bool CloseUnfinished();
  // Close when still open, then the move over the target. False when the file was
  // given up or the close or the move failed; no temporary file remains either way.
  // The running program's own file, which Windows will not let be replaced, is first
  // moved aside under a temporary name of ours (RemoveLeftovers of a later run removes
  // it), and the new file takes its place.
  bool Commit();
  // Closes and removes the temporary file.
  void Discard();
  // Writes what is gathered and closes the file, leaving it where it is (a file
  // opened with Continue; a temporary file is removed as by Discard). A failed
  // write raises as Write does.
  void Keep();

  const std::string& TempPath() const { return temp_; }

  // False: neither the data nor the rename is flushed (see above). Set before the
  // first write: a durable file's data is sent on to the disk while it is written.
  void SetDurable(bool durable) { durable_ = durable; }

  // A durable file's data goes to the disk in steps of this size while it is
  // written, without waiting, so that the flush in Close finds at most one step
  // left: a large download or copy is on the disk almost as soon as it is complete.
  static constexpr std::uint64_t kWriteOutStep = 8 * 1024 * 1024;

 private:
  // None: no temporary file. Open: being written. Finished: closed by Close, ready
  // to be moved. GivenUp: closed otherwise, never to be moved.
  enum class State { None, Open, Finished, GivenUp };

  void WriteThrough(const void* data, std::uint32_t count);
  bool ReplaceRunningProgram();
  void Flush();
  void StartWriteOut();
  bool CloseAs(State after);

  State state_ = State::None;
  std::string target_;
  std::string temp_;
  plat::FileHandle file_ = plat::kInvalidFile;
  std::unique_ptr<char[]> pending_;  // kWriteChunk bytes, allocated once per file
  std::uint32_t pendingSize_ = 0;
  std::uint64_t written_ = 0;
  std::uint64_t writtenOut_ = 0;  // the data before this offset has been sent on to the disk
  bool named_ = false;  // opened by Continue: a file of the caller's naming
  bool durable_ = true;
};

// While one lives on a thread, StagedFile::Commit leaves the flush of the target's
// directory to it: each directory is flushed once when it ends, after all its
// renames. Scopes do not nest: an inner one is the outer one's.
class DirectoryFlushes {
 public:
  DirectoryFlushes();
  ~DirectoryFlushes();
  DirectoryFlushes(const DirectoryFlushes&) = delete;
  DirectoryFlushes& operator=(const DirectoryFlushes&) = delete;

  // The directory of a rename: flushed now without a scope, else when it ends.
  static void After(const std::string& directory);

 private:
  bool outer_;
  std::vector<std::string> pending_;
};

// Raises plat::EInOutError for a failed operation on a local file with the system's
// code and text; a code of 0 (a short write without a reason) is a full disk.
[[noreturn]] void RaiseInOutError(std::uint32_t code);

}  // namespace nolt
