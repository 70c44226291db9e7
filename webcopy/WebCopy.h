// TWebCopy: a non-visual component that holds an ordered list of transfer items and
// runs them one after the other on the user-interface thread, with a progress
// dialog, events per item, an optional credentials prompt and a kept FTP connection.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "core/Component.h"
#include "platform/Internet.h"
#include "webcopy/Transfer.h"

namespace nolt {

class TWebCopy;
class TWcProgressDialog;

// Stored as one byte; the ordinal values are fixed.
enum TWebCopyProtocol : std::uint8_t { wpHttp = 0, wpFtp = 1, wpFile = 2, wpFtpUpload = 3, wpHttpUpload = 4 };
enum TWebCopyHTTPCommand : std::uint8_t { hcPost = 0, hcPut = 1 };
enum TWebCopyAuthentication : std::uint8_t { waNever = 0, waAlways = 1, waAuto = 2 };

// Event types. Sender is always the TWebCopy; idx is the item's 0-based index.
using TWebCopyConnectError = std::function<void(TObject* Sender)>;
using TWebCopyCancel = std::function<void(TObject* Sender)>;
using TWebCopyThreadDone = std::function<void(TObject* Sender)>;
using TWebCopyOverwrite = std::function<void(TObject* Sender, const std::string& tgtfile, bool& allow)>;
using TWebCopyProgress =
    std::function<void(TObject* Sender, int fileidx, std::uint32_t size, std::uint32_t totsize)>;
using TWebCopyError = std::function<void(TObject* Sender, int ErrorCode)>;
using TWebCopyErrorInfo = std::function<void(TObject* Sender, int ErrorCode, const std::string& ErrorInfo)>;
using TWebCopyFileDone = std::function<void(TObject* Sender, int idx)>;
using TWebCopyFileStart = std::function<void(TObject* Sender, int idx)>;
using TWebCopyFileDateCheck = std::function<void(TObject* Sender, int idx, TDateTime newdate, bool& allow)>;
using TWebCopyURLNotFound = std::function<void(TObject* Sender, const std::string& url)>;
using TWebCopyNoNewFile =
    std::function<void(TObject* Sender, const std::string& tgtfile, TDateTime curdate, TDateTime newdate)>;

// The codes that OnError and OnErrorInfo receive. Besides these a failure reports an
// HTTP status (300 and above, a failed download) or a system or WinINet error number.
namespace TransferError {
inline constexpr int kIdenticalFiles = 0;  // source and target are the same path
inline constexpr int kOpenSource = 1;      // the local file to be read cannot be opened
inline constexpr int kSourceSize = 2;      // the size of the source cannot be taken
inline constexpr int kCreateTarget = 3;    // the local target cannot be created
inline constexpr int kReadSource = 4;      // reading the source failed
inline constexpr int kWriteTarget = 5;     // writing the target failed
inline constexpr int kConnect = 6;         // no connection to the server
inline constexpr int kTooLong = 7;         // an HTTP body passed the item's MaxSize
}  // namespace TransferError

class TWebCopyItems;

// The server and account of a kept FTP connection. Host, user and password are
// compared each on its own: joined into one text, host "ab" with user "c" would
// equal host "a" with user "bc".
struct TFtpConnectionKey {
  std::string Host;
  std::string UserID;
  std::string Password;
  bool operator==(const TFtpConnectionKey&) const = default;
};

// One transfer. Published properties in declaration order, then the result fields
// that a run writes.
class TWebCopyItem : public TObject {
 public:
  explicit TWebCopyItem(TWebCopyItems* collection) : Collection(collection) {}

  bool Active = true;
  TWebCopyAuthentication Authenticate = waNever;
  bool CopyNewerOnly = false;
  TDateTime FileDate = 0;
  std::string FTPHost;
  std::string FTPUserID;
  std::string FTPPassword;
  std::int32_t FTPPort = 21;
  TWebCopyHTTPCommand HTTPCommand = hcPost;
  TWebCopyProtocol Protocol = wpHttp;
  std::string TargetDir;
  std::string TargetFilename;
  std::string URL;
  std::string HTTPUserID;
  std::string HTTPPassword;

  // Not stored in a form description: when not negative, an HTTP download fails as
  // soon as the file would pass this many bytes, and nothing of it is kept.
  std::int64_t MaxSize = -1;

  // Results of the item's last transfer; not stored in a form description.
  bool Success = false;
  bool NoNewFile = false;
  TDateTime NewDate = 0;

  TWebCopyItems* Collection;
};

// The ordered item collection; it knows its owning component.
class TWebCopyItems : public TObject {
 public:
  explicit TWebCopyItems(TWebCopy* owner) : owner_(owner) {}
  TWebCopyItem& Add();
  TWebCopyItem& operator[](int i) { return *items_.at(static_cast<std::size_t>(i)); }
  const TWebCopyItem& operator[](int i) const { return *items_.at(static_cast<std::size_t>(i)); }
  int Count() const { return static_cast<int>(items_.size()); }
  void Clear() { items_.clear(); }
  int ActiveCount() const;
  TWebCopy* GetOwner() const { return owner_; }

 private:
  TWebCopy* owner_;
  std::vector<std::unique_ptr<TWebCopyItem>> items_;
};

class TWebCopy : public TComponent {
 public:
  explicit TWebCopy(TComponent* owner = nullptr);
  ~TWebCopy() override;
  TWebCopy(const TWebCopy&) = delete;
  TWebCopy& operator=(const TWebCopy&) = delete;

  // Runs all items once. The outcome is in the items' result fields and the events.
  void Execute();

  // "1.5.0.3", from the version number 0x01050003; writing has no effect.
  std::string Version() const;
  void SetVersion(const std::string&) {}

  // Published properties, in declaration order.
  bool AlwaysOnTop = false;
  std::string DlgCancel = "Cancel";
  std::string DlgCaption = "Downloading";
  std::string DlgCompleted = "completed";
  std::string DlgClose = "Close";
  std::string DlgFileLabel = "File :";
  std::string DlgFileOfLabel = "of";
  std::string DlgFromServerLabel = "from";
  std::string DlgToServerLabel = "to";
  std::string DlgProgressLabel = "Progress :";
  std::string DlgRateLabel = "Transfer rate :";
  std::string DlgTimeLabel = "Estimated time left :";
  std::string DlgCopying = "Copying";
  std::string DlgDwnload = "Downloading";
  std::string DlgUpload = "Uploading";
  std::string DlgOpenFile = "Open file";
  std::string DlgOpenFolder = "Open folder";
  bool FTPPassive = false;
  bool HTTPKeepAliveAuthentication = false;
  TWebCopyItems Items{this};
  // HTTP downloads keep what arrived of an interrupted download beside the target
  // (PartialDownload) and continue it the next time, when the server confirms the
  // file is unchanged; the file is replaced only when it has arrived whole.
  bool ResumeDownloads = false;
  // False for downloads whose content the caller checks before anything relies on
  // it: their data and renames are not flushed to the disk (StagedFile::SetDurable).
  bool Durable = true;
  std::string Proxy;
  std::string ProxyUserID;
  std::string ProxyPassword;
  bool ShowDialog = true;
  bool ShowOpenFile = false;
  bool ShowOpenFolder = false;
  bool ShowCompletion = false;
  bool ShowFileName = true;
  bool ShowServer = true;
  bool ShowTime = false;

  TWebCopyConnectError OnConnectError;
  TWebCopyCancel OnCopyCancel;
  TWebCopyThreadDone OnCopyDone;
  TWebCopyOverwrite OnCopyOverWrite;
  TWebCopyProgress OnCopyProgress;
  TWebCopyError OnError;
  TWebCopyErrorInfo OnErrorInfo;
  TWebCopyFileDone OnFileDone;
  TWebCopyFileStart OnFileStart;
  TWebCopyFileDateCheck OnFileDateCheck;
  TWebCopyURLNotFound OnURLNotFound;
  TWebCopyNoNewFile OnNoNewFileFound;

  // The limits that end a stalled or crawling transfer; not stored in a form
  // description: the programs keep the defaults, tests shorten them.
  TransferLimits Limits;

  // Run state, readable by the dialog, the routines and tests.
  plat::HInternet InternetHandle = nullptr;
  bool Cancelled = false;
  std::int32_t FileNumber = 0;
  std::string LastTargetFile;
  std::string LastTargetDir;
  // The kept FTP connection, its account (empty when none is held), and the remote
  // directory that an upload last switched it to.
  plat::HInternet FtpConnection = nullptr;
  TFtpConnectionKey FtpConnectionKey;
  std::string FtpCurrentDir;

  // The progress dialog of the current run (or one left open after it); may be null.
  TWcProgressDialog* Dialog() const { return dialog_.get(); }

 protected:
  // The transfer routines, one per protocol; each returns true when it counts the
  // item as transferred. Tests replace them to script a run.
  virtual bool HttpDownload(int idx, const std::string& URL, const std::string& TargetDir,
                            const std::string& TargetFilename, bool CopyNewerOnly, TDateTime& FileDate,
                            bool& NoNewFile, TWebCopyAuthentication Authenticate, const std::string& HTTPUserID,
                            const std::string& HTTPPassword);
  virtual bool FtpDownload(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                           const std::string& FTPHost, std::int32_t FTPPort, const std::string& URL,
                           const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                           TDateTime& FileDate, bool& NoNewFile, bool KeepConnection);
  virtual bool FileCopy(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                        const std::string& FTPHost, std::int32_t FTPPort, const std::string& URL,
                        const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                        TDateTime& FileDate, bool& NoNewFile);
  virtual bool FtpUpload(int idx, const std::string& FTPUserID, const std::string& FTPPassword,
                         const std::string& FTPHost, std::int32_t FTPPort, const std::string& URL,
                         const std::string& TargetDir, const std::string& TargetFilename, bool CopyNewerOnly,
                         TDateTime& FileDate, bool& NoNewFile, bool KeepConnection);
  virtual bool HttpUpload(const std::string& URL, const std::string& TargetDir, const std::string& TargetFilename,
                          TWebCopyHTTPCommand HTTPCommand);

  // URL helpers that belong to the component.
  std::string InsertProxyCredentials(const std::string& URL) const;
  std::string ExtractURLHost(const std::string& URL) const;
  std::string ExtractURLPath(const std::string& URL) const;

  // Lets pending window messages run (the dialog's Cancel button among them).
  void PumpMessages();

  // The transfer skeleton shared by the routines.
  void SetFileLine(const std::string& fileName, const std::string& serverLabel, const std::string& server,
                   bool showServer);
  void UpdateProgress(std::uint64_t done, std::uint32_t total, std::uint32_t startTick, const std::string& action);
  // The same with the test of the bar and the progress line given: the upload moves
  // them when the block's write reported bytes, not when the total is known.
  void UpdateProgress(std::uint64_t done, std::uint32_t total, std::uint32_t startTick, const std::string& action,
                      bool withTotal);
  // The progress update of the file copy: OnCopyProgress first, the bar full for an
  // empty source, the progress line always with the size, then a pump.
  void UpdateCopyProgress(std::uint64_t done, std::int64_t size, std::uint32_t startTick);
  // OnError and OnErrorInfo with a TransferError code, an HTTP status or a system error.
  void ReportError(int code, const std::string& text);
  // The same for a WinINet or system error number, with its FailureText.
  void ReportFailure(std::uint32_t code);
  // The date check: true when the transfer goes on. Otherwise release() has been
  // called (and OnNoNewFileFound fired with tgtfile when nothing newer was found).
  bool CheckFileDate(int idx, TDateTime newdate, bool CopyNewerOnly, TDateTime& FileDate, bool& NoNewFile,
                     const std::string& tgtfile, const std::function<void()>& release);
  // The target file (JoinPath of TargetDir and TargetFilename, or the URL's last
  // segment), LastTargetFile and LastTargetDir, the overwrite question and the
  // target's directory. False when the overwrite was refused; release() has then been called.
  bool ChooseTarget(const std::string& TargetDir, const std::string& TargetFilename, const std::string& URL,
                    std::string& target, const std::function<void()>& release);
  // The target file alone: JoinPath of TargetDir and TargetFilename, or of the URL's last segment.
  static std::string TargetPath(const std::string& TargetDir, const std::string& TargetFilename,
                                const std::string& URL);
  // The two halves of ChooseTarget, for the file copy, which asks its question later:
  // the target's path, recorded as LastTargetFile and LastTargetDir; then the
  // overwrite question and the target's directory.
  std::string RecordTarget(const std::string& TargetDir, const std::string& TargetFilename, const std::string& URL);
  bool ConfirmTarget(const std::string& target, const std::function<void()>& release);
  // True when the target file may be created: its path holds no control byte (a name
  // taken from a URL would carry a line break into the file system) and nothing
  // stands in its place that may not be replaced (IsReplaceable).
  static bool CanCreateTarget(const std::string& target);
  // Refuses, before anything is sent, an account that would break the protocol's
  // lines: a user name or password with a NUL or a line break would end an FTP
  // command and add one of its own. Reports the refusal; true when refused.
  bool RefuseAccount(const std::string& user, const std::string& password);

  // The connection of an FTP item (FtpConnection.cpp): the kept one when its account
  // is the item's, else a new logon, which replaces a kept connection of another
  // account; isNew tells which. Null when none could be obtained.
  plat::HInternet ObtainFtpConnection(const TFtpConnectionKey& key, std::int32_t FTPPort, bool& isNew);
  // Refuses, before anything is sent, an FTP item whose account, host or remote
  // names would break the commands' lines (RefuseAccount; a control byte in the
  // host; a NUL or a line break in a remote name). Reports it; true when refused.
  bool RefuseFtpItem(const TFtpConnectionKey& key, std::initializer_list<const std::string*> remoteNames);
  // Keeps the connection for the next item.
  void KeepFtpConnection(plat::HInternet connection, const TFtpConnectionKey& key);
  // Every way out of an FTP item once it has its connection: closes it unless it is kept.
  void ReleaseConnection(plat::HInternet connection, bool KeepConnection);
  // Closes a kept connection (at the end of a run).
  void CloseFtpConnection();

  // The credentials prompt of the HTTP download (ShowLoginDialog); tests replace it.
  virtual bool PromptLogin(const std::string& caption, std::string& userName, std::string& password);

 private:
  friend class TWcProgressDialog;
  // Step 4 of Execute: every active item, in order.
  void RunItems();
  // The kept FTP connection and the internet handle of the run, closed.
  void CloseRunConnections();
  void BuildDialog();
  void EndDialog();
  void OpenInShell(const std::string& path);
  // Destroys the dialog once the current click handler has returned.
  void ReleaseDialogLater();

  std::unique_ptr<TWcProgressDialog> dialog_;
  // Throttled repainting (PumpMessages): the tick of the last pump, and whether the
  // next pump runs whatever the time (the first of every item).
  std::uint32_t lastPumpTick_ = 0;
  bool pumpDue_ = true;
  // Lets calls posted to the main thread see whether the component still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nolt
