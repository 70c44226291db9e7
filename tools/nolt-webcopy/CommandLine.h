// The command line of nolt-webcopy: the options, and one transfer item per word,
// mapped onto the fields of a TWebCopy item the way each transfer routine reads them.
#pragma once

#include <string>
#include <vector>

#include "webcopy/WebCopy.h"

namespace nolt::cli {

// One ITEM of the command line: its word and its two arguments, as written.
struct ItemWords {
  std::string word;
  std::string first;
  std::string second;
};

struct CommandLine {
  bool help = false;
  bool show = false;
  bool passive = false;
  bool newerOnly = false;
  std::string proxy;
  // --timeout: seconds a transfer may move nothing (or crawl) before it fails; 0 keeps the engine's own.
  unsigned timeoutSeconds = 0;
  std::vector<ItemWords> items;
};

// Options come first, then the items. False, with the reason in *error, for words
// that do not form a command line (the program then exits with status 2).
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

// A URL taken apart: scheme://[user[:password]@]host[:port][/path]. The user name
// and password are percent-decoded ("%20" a blank, "%40" an "@"); nothing else is.
// port is -1 when the URL names none. An IPv6 host loses its brackets.
struct UrlParts {
  std::string scheme;  // lower case
  std::string user;
  std::string password;
  bool hasUserInfo = false;
  std::string host;
  int port = -1;
  std::string path;  // from the first "/" after the host on, or empty
};
bool SplitUrl(const std::string& url, UrlParts* parts);
std::string PercentDecode(const std::string& text);

// Fills a new item for one ITEM: protocol, URL, directories, names and account.
// With newerOnly, the item copies only a newer source, and its FileDate is the
// last-write time of the local file it is compared with. False, with the reason in
// *error, for an argument the word cannot take (the item is then not added).
bool AddItem(TWebCopy& wc, const ItemWords& words, bool newerOnly, std::string* error);

// The item as a person reads it: word and arguments, with any password masked.
std::string Describe(const ItemWords& words);

}  // namespace nolt::cli
