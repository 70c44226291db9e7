// The handles, the session and the error translation shared by the libcurl stand-in
// for WinINet. Must contain only code of the POSIX internet implementation.
#include "platform/posix/internet/CurlSession.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace plat::curlnet {
namespace {

thread_local std::uint32_t lastError = 0;

std::mutex registryLock;
std::unordered_set<Handle*> registry;

}  // namespace

bool Fail(std::uint32_t code) {
  lastError = code;
  return false;
}

std::nullptr_t FailHandle(std::uint32_t code) {
  lastError = code;
  return nullptr;
}

std::uint32_t LastError() { return lastError; }

std::uint32_t ErrorFromCurl(CURLcode code, long osErrno) {
  switch (code) {
    case CURLE_OK: return 0;
    // The scheme of every URL is checked before libcurl sees it: a protocol that
    // libcurl refuses is one an answer brought, HTTP/0.9 (no HTTP at all) or a
    // redirect to a scheme that is not followed.
    case CURLE_UNSUPPORTED_PROTOCOL: return kErrorHttpInvalidServerResponse;
    case CURLE_URL_MALFORMAT: return kErrorInternetInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kErrorInternetTimeout;
    case CURLE_PARTIAL_FILE: return kErrorInternetConnectionAborted;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      return osErrno == ECONNRESET || osErrno == EPIPE ? kErrorInternetConnectionReset
                                                        : kErrorInternetConnectionAborted;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING: return kErrorHttpInvalidServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return kErrorHttpRedirectFailed;
    case CURLE_PEER_FAILED_VERIFICATION: return kErrorInternetInvalidCa;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return kErrorInternetSecurityChannelError;
    case CURLE_LOGIN_DENIED: return kErrorInternetLoginFailure;
    // The FTP server refused a command: WinINet's "extended error", whose text is
    // the server's answer.
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_FTP_COULDNT_RETR_FILE:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_QUOTE_ERROR:
    case CURLE_UPLOAD_FAILED:
    case CURLE_FTP_COULDNT_SET_TYPE:
    case CURLE_FTP_PORT_FAILED: return kErrorInternetExtendedError;
    case CURLE_FTP_ACCEPT_FAILED:
    case CURLE_FTP_ACCEPT_TIMEOUT:
    case CURLE_FTP_CANT_GET_HOST:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT: return kErrorInternetCannotConnect;
    case CURLE_ABORTED_BY_CALLBACK: return kErrorInternetOperationCancelled;
    case CURLE_OUT_OF_MEMORY: return kErrorNotEnoughMemory;
    default: return kErrorInternetInternalError;
  }
}

void Register(Handle* h) {
  std::lock_guard<std::mutex> lock(registryLock);
  registry.insert(h);
}

bool Unregister(Handle* h) {
  std::lock_guard<std::mutex> lock(registryLock);
  return registry.erase(h) == 1;
}

Handle* Lookup(HInternet h) {
  std::lock_guard<std::mutex> lock(registryLock);
  auto* p = static_cast<Handle*>(h);
  return registry.count(p) ? p : nullptr;
}

bool Transfer::Start() {
  if (curl_multi_add_handle(session->multi, easy) != CURLM_OK) return false;
  started = true;
  return true;
}

void Transfer::Detach() {
  if (!session) return;
  if (started) curl_multi_remove_handle(session->multi, easy);
  session->ReturnEasy(easy);
  session->transfers.erase(this);
  session = nullptr;
  easy = nullptr;
}

Session::~Session() {
  // Closing the internet handle ends its transfers, as in WinINet; their handles
  // stay valid until closed and fail every other call.
  while (!transfers.empty()) (*transfers.begin())->Detach();
  if (spare) curl_easy_cleanup(spare);
  if (multi) curl_multi_cleanup(multi);
  if (share) curl_share_cleanup(share);
}

std::string& TestAuthorities() {
  static std::string file;
  return file;
}

void TrustOnlyAuthoritiesIn(const std::string& caFile) { TestAuthorities() = caFile; }

CURL* Session::TakeEasy() {
  CURL* e = spare;
  spare = nullptr;
  if (!e) e = curl_easy_init();
  if (!e) return nullptr;
  curl_easy_setopt(e, CURLOPT_SHARE, share);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  if (!agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, agent.c_str());
  // The limits of the internet handle (InternetSetOptionA): the receive limit is
  // libcurl's low speed limit, less than a byte a second over that time, in whole
  // seconds; 0 means none.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
  if (receiveTimeoutMs != 0) {
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, static_cast<long>((receiveTimeoutMs + 999) / 1000));
  }
  // Certificates are always checked, against the system's store; only a test may
  // name the authorities it trusts instead (TrustOnlyAuthoritiesIn).
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!TestAuthorities().empty()) curl_easy_setopt(e, CURLOPT_CAINFO, TestAuthorities().c_str());
  // Proxy: PRECONFIG leaves libcurl to read http_proxy, https_proxy and no_proxy
  // (the system's settings on Linux); PROXY names it; DIRECT uses none.
  if (accessType == kInternetOpenTypeProxy) {
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str());
    if (!proxyBypass.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, proxyBypass.c_str());
  } else if (accessType == kInternetOpenTypeDirect) {
    curl_easy_setopt(e, CURLOPT_PROXY, "");
  }
  return e;
}

void Session::ReturnEasy(CURL* e) {
  if (!e) return;
  if (spare) {
    curl_easy_cleanup(e);
  } else {
    curl_easy_reset(e);
    spare = e;
  }
}

void CollectDone(Session& s) {
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(s.multi, &left)) {
    if (m->msg != CURLMSG_DONE) continue;
    Transfer* t = nullptr;
    curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&t));
    if (!t) continue;
    t->done = true;
    t->result = m->data.result;
    if (t->result != CURLE_OK) curl_easy_getinfo(m->easy_handle, CURLINFO_OS_ERRNO, &t->osErrno);
  }
}

std::string EscapeUrl(const std::string& url) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  bool inQuery = false;
  for (char ch : url) {
    auto c = static_cast<unsigned char>(ch);
    if (ch == '?' || ch == '#') inQuery = true;
    if (ch == '\\' && !inQuery) {
      out += '/';
    } else if (c <= 0x20 || c >= 0x7F) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

curl_slist* ParseHeaders(const char* headers, std::uint32_t length) {
  curl_slist* list = nullptr;
  if (!headers || length == 0) return list;
  if (length == 0xFFFFFFFFu) length = static_cast<std::uint32_t>(std::strlen(headers));
  std::string_view text(headers, length);
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\0')) line.remove_suffix(1);
    if (line.empty() || line.find(':') == std::string_view::npos) continue;
    list = curl_slist_append(list, std::string(line).c_str());
  }
  return list;
}

}  // namespace plat::curlnet
