// The kept beginning of an interrupted HTTP download, so that a later download of
// the same URL to the same target asks only for the rest. Beside the target it
// keeps
//   target + ".partial"  the bytes received so far;
//   target + ".resume"   what the server said of them: a digest of the URL (not the
//                        URL itself, which may carry credentials), the validator (a
//                        strong ETag, else the Last-Modified text) and the whole length.
// The rest is asked for with "Range: bytes=N-" and "If-Range: <validator>": the
// server sends it (206) only while the file is unchanged, and the whole file (200)
// otherwise. A beginning without a record, or whose record does not fit, is never
// continued.
#pragma once

#include <cstdint>
#include <string>

namespace nolt {

class PartialDownload {
 public:
  static std::string BodyPath(const std::string& target);
  static std::string RecordPath(const std::string& target);
  // True when target has a kept beginning that a later download could continue:
  // its record reads and its body is not empty and shorter than the whole.
  static bool Resumable(const std::string& target);
  // Removes the kept beginning and its record.
  static void Remove(const std::string& target);
  // The validator of an answer for If-Range: its ETag when that is a strong one,
  // else its Last-Modified text; "" when it has neither.
  static std::string Validator(const std::string& etag, const std::string& lastModified);

  // Looks for a kept beginning of url at target. One that cannot be continued
  // (no record, another URL, an empty or complete body) is removed.
  void Find(const std::string& target, const std::string& url);

  // The bytes kept, 0 when there is nothing to continue.
  std::uint64_t Offset() const { return offset_; }
  // The length of the whole file as the server gave it; 0 when unknown.
  std::uint64_t Total() const { return total_; }
  // The request lines that ask for the rest, each ending in CR LF; "" when nothing is kept.
  std::string RangeHeaders() const;
  // True for a 206 answer whose Content-Range ("bytes N-M/L") continues the kept
  // bytes, with the whole length L of the record when it has one.
  bool Continues(std::uint32_t status, const std::string& contentRange);
  // Drops what is kept: both files go, and the next request asks for the whole file.
  void Forget();
  // Records the validator and whole length of an answer that starts the body anew,
  // once its body file has been made empty. Without a validator nothing is
  // recorded and the body will not be continued.
  void Restart(const std::string& validator, std::uint64_t total);
  // True when the current body has a record: it is worth keeping when the download stops.
  bool Recorded() const { return recorded_; }
  // The download is complete and installed: the record goes.
  void Finish();

 private:
  std::string target_;
  std::string urlDigest_;
  std::string validator_;
  std::uint64_t offset_ = 0;
  std::uint64_t total_ = 0;
  bool recorded_ = false;
};

}  // namespace nolt
