// Test kit of the HTTP download and upload tests: a TWebCopy whose credentials
// prompt is scripted, an event recorder, and recording fakes of the internet, clock,
// files and user-interface seams.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/HeadlessUi.h"
#include "platform/Internet.h"
#include "tests/support/ForwardingFiles.h"
#include "tests/support/NullInternet.h"
#include "webcopy/WebCopy.h"

namespace nolt::test {

// A TWebCopy whose credentials prompt answers from a script: each entry is a user
// name and password (OK) or nullopt (Cancel). An exhausted script cancels.
class TestWebCopy : public TWebCopy {
 public:
  using Answer = std::optional<std::pair<std::string, std::string>>;
  std::deque<Answer> answers;
  std::vector<std::string> captions;

 protected:
  bool PromptLogin(const std::string& caption, std::string& userName, std::string& password) override {
    captions.push_back(caption);
    if (answers.empty()) return false;
    Answer a = answers.front();
    answers.pop_front();
    if (!a) return false;
    userName = a->first;
    password = a->second;
    return true;
  }
};

// Records the events of a TWebCopy as lines of text, in order.
struct EventLog {
  std::vector<std::string> lines;
  std::vector<std::string> progress;  // "done/total" of every OnCopyProgress

  void Attach(TWebCopy& wc) {
    wc.OnFileStart = [this](TObject*, int idx) { Add("FileStart " + std::to_string(idx)); };
    wc.OnFileDone = [this](TObject*, int idx) { Add("FileDone " + std::to_string(idx)); };
    wc.OnCopyDone = [this](TObject*) { Add("CopyDone"); };
    wc.OnError = [this](TObject*, int code) { Add("Error " + std::to_string(code)); };
    wc.OnErrorInfo = [this](TObject*, int code, const std::string& text) {
      Add("ErrorInfo " + std::to_string(code) + " " + text);
    };
    wc.OnURLNotFound = [this](TObject*, const std::string& url) { Add("URLNotFound " + url); };
    wc.OnNoNewFileFound = [this](TObject*, const std::string& f, TDateTime cur, TDateTime now) {
      std::ostringstream s;
      s.precision(12);
      s << "NoNewFile " << f << " " << cur << " " << now;
      Add(s.str());
    };
    wc.OnCopyProgress = [this](TObject*, int fileidx, std::uint32_t size, std::uint32_t total) {
      progress.push_back(std::to_string(fileidx) + ":" + std::to_string(size) + "/" + std::to_string(total));
    };
  }
  void Add(const std::string& s) { lines.push_back(s); }
  bool Has(const std::string& s) const {
    for (const auto& l : lines)
      if (l == s) return true;
    return false;
  }
  std::string Text() const {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    return all;
  }
};

// One scripted answer of the fake internet to InternetOpenUrlA.
struct FakeResponse {
  bool openFails = false;
  std::uint32_t openError = plat::kErrorInternetNameNotResolved;
  bool statusFails = false;
  std::uint32_t status = 200;
  std::optional<plat::SystemTime> lastModified;
  std::optional<std::uint32_t> contentLength;
  std::string body;
  // A read that starts at or after this body offset fails with readError.
  std::size_t failReadAt = std::string::npos;
  std::uint32_t readError = plat::kErrorInternetConnectionReset;
  // At most this many bytes have arrived at each query (a trickle).
  std::size_t arrive = std::string::npos;
  // Header texts; absent when empty.
  std::string etag;
  std::string lastModifiedText;
  std::string contentRange;
};

// A recording fake of the internet seam: every call becomes a line of text, the
// requests answer from a script, in order.
class FakeInternet : public NullInternet {
 public:
  struct Open {
    std::string url;
    bool headersNull = true;
    std::string headers;  // the bytes the header pointer covers, per the given length
    std::uint32_t headersLength = 0;
    std::uint32_t flags = 0;
    std::uintptr_t context = 0;
    plat::HInternet internet = nullptr;
  };

  std::deque<FakeResponse> script;
  std::vector<std::string> calls;
  std::vector<Open> opens;
  std::function<void()> onRead;  // runs before every InternetReadFile
  int openRequests = 0;          // requests not closed yet
  std::string agent;
  std::uint32_t accessType = 99;
  std::string proxy;

  plat::HInternet InternetOpenA(const std::string& a, std::uint32_t access, const std::string& p, const std::string&,
                                std::uint32_t) override {
    calls.push_back("InternetOpenA");
    agent = a;
    accessType = access;
    proxy = p;
    return &session_;
  }

  bool InternetCloseHandle(plat::HInternet h) override {
    if (h == &session_) {
      calls.push_back("InternetCloseHandle session");
      return true;
    }
    if (h == &connection_ || h == &upload_) {
      calls.push_back(h == &connection_ ? "InternetCloseHandle connection" : "InternetCloseHandle upload");
      --openUploadHandles;
      return true;
    }
    calls.push_back("InternetCloseHandle request");
    --openRequests;
    delete static_cast<Request*>(h);
    return true;
  }

  plat::HInternet InternetOpenUrlA(plat::HInternet internet, const std::string& url, const char* headers,
                                   std::uint32_t headersLength, std::uint32_t flags, std::uintptr_t context) override {
    calls.push_back("InternetOpenUrlA");
    Open o;
    o.url = url;
    o.headersNull = headers == nullptr;
    if (headers) o.headers.assign(headers, headersLength);
    o.headersLength = headersLength;
    o.flags = flags;
    o.context = context;
    o.internet = internet;
    opens.push_back(o);
    FakeResponse r = script.empty() ? FakeResponse{} : script.front();
    if (!script.empty()) script.pop_front();
    if (r.openFails) {
      lastError_ = r.openError;
      return nullptr;
    }
    ++openRequests;
    return new Request{r, 0};
  }

  bool HttpQueryInfoA(plat::HInternet h, std::uint32_t level, void* buffer, std::uint32_t* length,
                      std::uint32_t* index) override {
    char line[96];
    std::snprintf(line, sizeof line, "HttpQueryInfoA 0x%08X len %u index %u", level, *length, index ? *index : 99u);
    calls.push_back(line);
    if (h == &upload_) return UploadAnswer(level, buffer, length);
    const FakeResponse& r = static_cast<Request*>(h)->response;
    switch (level) {
      case plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber:
        if (r.statusFails) return Fail(12150);
        std::memcpy(buffer, &r.status, 4);
        return true;
      case plat::kHttpQueryContentLength | plat::kHttpQueryFlagNumber:
        if (!r.contentLength) return Fail(12150);
        std::memcpy(buffer, &*r.contentLength, 4);
        return true;
      case plat::kHttpQueryLastModified | plat::kHttpQueryFlagSystemTime:
        if (!r.lastModified) return Fail(12150);
        std::memcpy(buffer, &*r.lastModified, sizeof(plat::SystemTime));
        return true;
      case plat::kHttpQueryContentLength:
        return r.contentLength ? Text(std::to_string(*r.contentLength), buffer, length) : Fail(12150);
      case plat::kHttpQueryETag: return Text(r.etag, buffer, length);
      case plat::kHttpQueryLastModified: return Text(r.lastModifiedText, buffer, length);
      case plat::kHttpQueryContentRange: return Text(r.contentRange, buffer, length);
      default: return Fail(12150);
    }
  }

  bool InternetQueryDataAvailable(plat::HInternet h, std::uint32_t* available, std::uint32_t, std::uintptr_t) override {
    calls.push_back("InternetQueryDataAvailable");
    auto* req = static_cast<Request*>(h);
    const FakeResponse& r = req->response;
    *available = 0;
    if (req->offset >= r.failReadAt) return Fail(r.readError);
    std::size_t n = std::min(r.body.size() - req->offset, r.arrive);
    if (r.failReadAt != std::string::npos) n = std::min(n, r.failReadAt - req->offset);
    *available = static_cast<std::uint32_t>(n);
    return true;
  }

  bool InternetSetOptionA(plat::HInternet, std::uint32_t option, const void* buffer, std::uint32_t length) override {
    std::uint32_t value = 0;
    if (length == sizeof value) std::memcpy(&value, buffer, sizeof value);
    calls.push_back("InternetSetOptionA " + std::to_string(option) + " " + std::to_string(value));
    return true;
  }

  bool InternetReadFile(plat::HInternet h, void* buffer, std::uint32_t count, std::uint32_t* read) override {
    calls.push_back("InternetReadFile " + std::to_string(count));
    if (onRead) onRead();
    auto* req = static_cast<Request*>(h);
    const FakeResponse& r = req->response;
    *read = 0;
    if (req->offset >= r.failReadAt) return Fail(r.readError);
    std::size_t n = std::min<std::size_t>(count, r.body.size() - req->offset);
    if (r.failReadAt != std::string::npos) n = std::min(n, r.failReadAt - req->offset);
    std::memcpy(buffer, r.body.data() + req->offset, n);
    req->offset += n;
    *read = static_cast<std::uint32_t>(n);
    return true;
  }

  // Uploads. Each call is recorded with its arguments; the answers follow uploadScript.
  struct UploadScript {
    bool connectFails = false;
    bool openFails = false;
    std::uint32_t sendError = 0;  // HttpSendRequestExA fails with it when not 0
    int failWrite = 0;            // the 1-based InternetWriteFile that fails, 0 for none
    std::uint32_t writeError = plat::kErrorInternetConnectionReset;
    std::uint32_t endError = 0;   // HttpEndRequestA fails with it when not 0
    std::uint32_t status = 201;   // the answer's status
    std::string location;         // its Location, absent when empty
  };
  UploadScript uploadScript;
  int openUploadHandles = 0;      // connections and upload requests not closed yet

  plat::HInternet InternetConnectA(plat::HInternet internet, const std::string& server, std::uint16_t port,
                                   const std::string& user, const std::string& password, std::uint32_t service,
                                   std::uint32_t flags, std::uintptr_t context) override {
    char line[256];
    std::snprintf(line, sizeof line, "InternetConnectA %s %s %u '%s' '%s' %u 0x%X %u", internet ? "session" : "null",
                  server.c_str(), port, user.c_str(), password.c_str(), service, flags, unsigned(context));
    calls.push_back(line);
    if (uploadScript.connectFails) return FailHandle(plat::kErrorInternetCannotConnect);
    ++openUploadHandles;
    return &connection_;
  }
  plat::HInternet HttpOpenRequestA(plat::HInternet connection, const std::string& verb, const std::string& object,
                                   const std::string& version, const std::string& referrer,
                                   const char* const* acceptTypes, std::uint32_t flags,
                                   std::uintptr_t context) override {
    char line[256];
    std::snprintf(line, sizeof line, "HttpOpenRequestA %s %s %s '%s' '%s' %s 0x%08X %u",
                  connection == &connection_ ? "connection" : "null", verb.c_str(), object.c_str(), version.c_str(),
                  referrer.c_str(), acceptTypes ? "types" : "null", flags, unsigned(context));
    calls.push_back(line);
    if (!connection || uploadScript.openFails) return FailHandle(plat::kErrorInvalidHandle);
    writes_ = 0;
    ++openUploadHandles;
    return &upload_;
  }
  bool HttpSendRequestExA(plat::HInternet request, const plat::InternetBuffers* in, std::uint32_t flags,
                          std::uintptr_t context) override {
    char line[160];
    std::snprintf(line, sizeof line, "HttpSendRequestExA %s size %u total %u header '%s' 0x%X %u",
                  request == &upload_ ? "upload" : "other", in ? in->structSize : 0u, in ? in->bufferTotal : 0u,
                  in ? in->header.c_str() : "", flags, unsigned(context));
    calls.push_back(line);
    if (uploadScript.sendError) return Fail(uploadScript.sendError);
    return true;
  }
  bool InternetWriteFile(plat::HInternet h, const void*, std::uint32_t count, std::uint32_t* written) override {
    calls.push_back(std::string("InternetWriteFile ") + (h == &upload_ ? "" : "other ") + std::to_string(count));
    *written = 0;
    const bool fails = ++writes_ == uploadScript.failWrite;
    if (!fails) *written = count;
    return fails ? Fail(uploadScript.writeError) : true;
  }
  bool HttpEndRequestA(plat::HInternet request, std::uint32_t flags, std::uintptr_t context) override {
    calls.push_back(std::string("HttpEndRequestA ") + (request == &upload_ ? "upload" : "other") + " " +
                    std::to_string(flags) + " " + std::to_string(context));
    if (uploadScript.endError) return Fail(uploadScript.endError);
    return true;
  }

  std::uint32_t GetLastError() override { return lastError_; }
  std::string FormatMessageText(std::uint32_t code) override { return "text of " + std::to_string(code); }

  // The calls of one kind, e.g. Count("InternetReadFile").
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& c : calls)
      if (c.rfind(prefix, 0) == 0) ++n;
    return n;
  }

 private:
  struct Request {
    FakeResponse response;
    std::size_t offset;
  };
  bool UploadAnswer(std::uint32_t level, void* buffer, std::uint32_t* length) {
    if (level == (plat::kHttpQueryStatusCode | plat::kHttpQueryFlagNumber)) {
      std::memcpy(buffer, &uploadScript.status, 4);
      return true;
    }
    if (level == plat::kHttpQueryLocation) return Text(uploadScript.location, buffer, length);
    return Fail(12150);
  }
  bool Fail(std::uint32_t code) {
    lastError_ = code;
    return false;
  }
  bool Text(const std::string& value, void* buffer, std::uint32_t* length) {
    if (value.empty()) return Fail(12150);
    if (*length <= value.size()) return Fail(122);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    *length = static_cast<std::uint32_t>(value.size());
    return true;
  }
  std::nullptr_t FailHandle(std::uint32_t code) {
    lastError_ = code;
    return nullptr;
  }
  int session_ = 0;
  int connection_ = 0;
  int upload_ = 0;
  int writes_ = 0;
  std::uint32_t lastError_ = 0;
};

// A clock that stands still unless the test moves it.
class FakeClock : public plat::Clock {
 public:
  std::uint32_t tick = 1000;
  plat::SystemTime local{2024, 5, 3, 15, 10, 30, 0, 0};
  std::uint32_t GetTickCount() override { return tick; }
  plat::SystemTime GetLocalTime() override { return local; }
  plat::SystemTime GetSystemTime() override { return local; }
  bool FileTimeToLocalFileTime(std::uint64_t utc, std::uint64_t* l) override {
    *l = utc;
    return true;
  }
  bool LocalFileTimeToFileTime(std::uint64_t l, std::uint64_t* utc) override {
    *utc = l;
    return true;
  }
};

// The headless view, counting message pumps and repaints of windows, and keeping the
// progress line of the last window made as a view reads it at each repaint.
class CountingUi : public plat::HeadlessUi {
 public:
  int pumps = 0;
  int syncs = 0;
  std::vector<std::string> syncedProgressLines;
  void ProcessMessages() override {
    ++pumps;
    HeadlessUi::ProcessMessages();
  }
  plat::WindowId CreateWindowFromModel(plat::WindowModel* model, plat::WindowEvents events) override {
    lastModel_ = model;
    return HeadlessUi::CreateWindowFromModel(model, std::move(events));
  }
  void SyncWindow(plat::WindowId id) override {
    ++syncs;
    if (const plat::Control* line = lastModel_ ? lastModel_->Find("ProgressLine") : nullptr)
      syncedProgressLines.push_back(line->text);
    HeadlessUi::SyncWindow(id);
  }

 private:
  plat::WindowModel* lastModel_ = nullptr;
};

// The system's files, with writes that fail from the given call on.
class FailingWrites : public ForwardingFiles {
 public:
  int failFromWrite = 1;  // 1-based number of the first failing write
  int writes = 0;

  bool WriteFile(plat::FileHandle h, const void* b, std::uint32_t n, std::uint32_t* w) override {
    if (++writes >= failFromWrite) {
      *w = 0;
      real.SetLastError(plat::kErrorDiskFull);
      return false;
    }
    return real.WriteFile(h, b, n, w);
  }
};

// The names in a directory (files and subdirectories), sorted.
inline std::vector<std::string> ListDir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace nolt::test
