#include "app/FormBinding.h"

#include <map>

namespace nolt {
namespace {

using WebCopySetter = std::function<void(TWebCopy&, const std::string&, const FormValue&)>;
using ItemSetter = std::function<void(TWebCopyItem&, const std::string&, const FormValue&)>;

template <class T> auto Str(std::string T::*field) {
  return [field](T& o, const std::string& p, const FormValue& v) { o.*field = FormString(p, v); };
}
template <class T> auto Bool(bool T::*field) {
  return [field](T& o, const std::string& p, const FormValue& v) { o.*field = FormBool(p, v); };
}

TWebCopyProtocol ProtocolFrom(const std::string& p, const FormValue& v) {
  static const std::map<std::string, TWebCopyProtocol> names = {
      {"wpHttp", wpHttp}, {"wpFtp", wpFtp}, {"wpFile", wpFile}, {"wpFtpUpload", wpFtpUpload},
      {"wpHttpUpload", wpHttpUpload}};
  auto it = names.find(FormIdent(p, v));
  if (it == names.end()) throw EFormError(p + ": unknown protocol " + v.text);
  return it->second;
}

TWebCopyHTTPCommand CommandFrom(const std::string& p, const FormValue& v) {
  const std::string& s = FormIdent(p, v);
  if (s == "hcPost") return hcPost;
  if (s == "hcPut") return hcPut;
  throw EFormError(p + ": unknown HTTP command " + s);
}

TWebCopyAuthentication AuthFrom(const std::string& p, const FormValue& v) {
  const std::string& s = FormIdent(p, v);
  if (s == "waNever") return waNever;
  if (s == "waAlways") return waAlways;
  if (s == "waAuto") return waAuto;
  throw EFormError(p + ": unknown authentication " + s);
}

const std::map<std::string, WebCopySetter>& WebCopySetters() {
  static const std::map<std::string, WebCopySetter> setters = {
      {"AlwaysOnTop", Bool(&TWebCopy::AlwaysOnTop)},
      {"DlgCancel", Str(&TWebCopy::DlgCancel)},
      {"DlgCaption", Str(&TWebCopy::DlgCaption)},
      {"DlgCompleted", Str(&TWebCopy::DlgCompleted)},
      {"DlgClose", Str(&TWebCopy::DlgClose)},
      {"DlgFileLabel", Str(&TWebCopy::DlgFileLabel)},
      {"DlgFileOfLabel", Str(&TWebCopy::DlgFileOfLabel)},
      {"DlgFromServerLabel", Str(&TWebCopy::DlgFromServerLabel)},
      {"DlgToServerLabel", Str(&TWebCopy::DlgToServerLabel)},
      {"DlgProgressLabel", Str(&TWebCopy::DlgProgressLabel)},
      {"DlgRateLabel", Str(&TWebCopy::DlgRateLabel)},
      {"DlgTimeLabel", Str(&TWebCopy::DlgTimeLabel)},
      {"DlgCopying", Str(&TWebCopy::DlgCopying)},
      {"DlgDwnload", Str(&TWebCopy::DlgDwnload)},
      {"DlgUpload", Str(&TWebCopy::DlgUpload)},
      {"DlgOpenFile", Str(&TWebCopy::DlgOpenFile)},
      {"DlgOpenFolder", Str(&TWebCopy::DlgOpenFolder)},
      {"FTPPassive", Bool(&TWebCopy::FTPPassive)},
      {"HTTPKeepAliveAuthentication", Bool(&TWebCopy::HTTPKeepAliveAuthentication)},
      {"Proxy", Str(&TWebCopy::Proxy)},
      {"ProxyUserID", Str(&TWebCopy::ProxyUserID)},
      {"ProxyPassword", Str(&TWebCopy::ProxyPassword)},
      {"ResumeDownloads", Bool(&TWebCopy::ResumeDownloads)},
      {"ShowDialog", Bool(&TWebCopy::ShowDialog)},
      {"ShowOpenFile", Bool(&TWebCopy::ShowOpenFile)},
      {"ShowOpenFolder", Bool(&TWebCopy::ShowOpenFolder)},
      {"ShowCompletion", Bool(&TWebCopy::ShowCompletion)},
      {"ShowFileName", Bool(&TWebCopy::ShowFileName)},
      {"ShowServer", Bool(&TWebCopy::ShowServer)},
      {"ShowTime", Bool(&TWebCopy::ShowTime)},
      {"Version", [](TWebCopy& o, const std::string& p, const FormValue& v) { o.SetVersion(FormString(p, v)); }},
      {"Tag", [](TWebCopy& o, const std::string& p, const FormValue& v) { o.Tag = static_cast<long>(FormNumber(p, v)); }},
  };
  return setters;
}

const std::map<std::string, ItemSetter>& ItemSetters() {
  static const std::map<std::string, ItemSetter> setters = {
      {"Active", Bool(&TWebCopyItem::Active)},
      {"Authenticate", [](TWebCopyItem& o, const std::string& p, const FormValue& v) { o.Authenticate = AuthFrom(p, v); }},
      {"CopyNewerOnly", Bool(&TWebCopyItem::CopyNewerOnly)},
      {"FileDate",
       [](TWebCopyItem& o, const std::string& p, const FormValue& v) {
         o.FileDate = v.kind == FormValue::Number ? static_cast<TDateTime>(v.number) : std::stod(FormIdent(p, v));
       }},
      {"FTPHost", Str(&TWebCopyItem::FTPHost)},
      {"FTPUserID", Str(&TWebCopyItem::FTPUserID)},
      {"FTPPassword", Str(&TWebCopyItem::FTPPassword)},
      {"FTPPort",
       [](TWebCopyItem& o, const std::string& p, const FormValue& v) {
         o.FTPPort = static_cast<std::int32_t>(FormNumber(p, v));
       }},
      {"HTTPCommand", [](TWebCopyItem& o, const std::string& p, const FormValue& v) { o.HTTPCommand = CommandFrom(p, v); }},
      {"Protocol", [](TWebCopyItem& o, const std::string& p, const FormValue& v) { o.Protocol = ProtocolFrom(p, v); }},
      {"TargetDir", Str(&TWebCopyItem::TargetDir)},
      {"TargetFilename", Str(&TWebCopyItem::TargetFilename)},
      {"URL", Str(&TWebCopyItem::URL)},
      {"HTTPUserID", Str(&TWebCopyItem::HTTPUserID)},
      {"HTTPPassword", Str(&TWebCopyItem::HTTPPassword)},
  };
  return setters;
}

}  // namespace

void LoadWebCopy(TWebCopy& component, const FormObject& stored, const EventWiring& wire) {
  component.Name = stored.name;
  for (const auto& [name, value] : stored.properties) {
    if (name.rfind("On", 0) == 0) {
      if (!wire(component, name, FormIdent(name, value)))
        throw EFormError(stored.name + "." + name + ": no handler " + value.text);
      continue;
    }
    auto it = WebCopySetters().find(name);
    if (it == WebCopySetters().end()) throw EFormError(stored.name + ": unknown property " + name);
    it->second(component, stored.name + "." + name, value);
  }
  for (const auto& [name, items] : stored.collections) {
    if (name != "Items") throw EFormError(stored.name + ": unknown collection " + name);
    component.Items.Clear();
    for (const auto& props : items) {
      TWebCopyItem& item = component.Items.Add();
      for (const auto& [pname, value] : props) {
        auto it = ItemSetters().find(pname);
        if (it == ItemSetters().end()) throw EFormError(stored.name + ".Items: unknown property " + pname);
        it->second(item, stored.name + ".Items." + pname, value);
      }
    }
  }
}

void LoadCABFile(TCABFile& component, const FormObject& stored, const EventWiring& wire) {
  static const std::map<std::string, TCompressionType> types = {
      {"typNone", typNone}, {"typMSZIP", typMSZIP}, {"typLZX", typLZX}};
  static const std::map<std::string, TLZXMemory> memories = {
      {"lzxLowest", lzxLowest}, {"lzxLower", lzxLower}, {"lzxLow", lzxLow},       {"lzxMedium", lzxMedium},
      {"lzxHigh", lzxHigh},     {"lzxHigher", lzxHigher}, {"lzxHighest", lzxHighest}};
  component.Name = stored.name;
  for (const auto& [name, value] : stored.properties) {
    const std::string where = stored.name + "." + name;
    if (name.rfind("On", 0) == 0) {
      if (!wire(component, name, FormIdent(where, value))) throw EFormError(where + ": no handler " + value.text);
    } else if (name == "CABFile") {
      component.CABFile = FormString(where, value);
    } else if (name == "TargetPath") {
      component.TargetPath = FormString(where, value);
    } else if (name == "CompressionType") {
      auto it = types.find(FormIdent(where, value));
      if (it == types.end()) throw EFormError(where + ": unknown compression type " + value.text);
      component.CompressionType = it->second;
    } else if (name == "LZXMemory") {
      auto it = memories.find(FormIdent(where, value));
      if (it == memories.end()) throw EFormError(where + ": unknown LZX memory " + value.text);
      component.LZXMemory = it->second;
    } else if (name == "Version") {
      component.SetVersion(FormString(where, value));
    } else if (name == "Tag") {
      component.Tag = static_cast<long>(FormNumber(where, value));
    } else {
      throw EFormError(stored.name + ": unknown property " + name);
    }
  }
  for (const auto& [name, items] : stored.collections) {
    // The entry list is filled by ReadContents; a stored list must be empty.
    if (name != "CABFileContents" || !items.empty())
      throw EFormError(stored.name + ": unexpected stored collection " + name);
  }
}

void LoadRunner(TRunner& component, const FormObject& stored, const EventWiring& wire) {
  static const std::map<std::string, TProcessPriority> priorities = {
      {"ppIdle", ppIdle}, {"ppNormal", ppNormal}, {"ppHigh", ppHigh}, {"ppRealTime", ppRealTime}};
  static const std::map<std::string, TWindowShowState> states = {
      {"wssHide", wssHide}, {"wssNormal", wssNormal}, {"wssShowMinimized", wssShowMinimized},
      {"wssShowMaximized", wssShowMaximized}, {"wssShowNoActivate", wssShowNoActivate}, {"wssShow", wssShow},
      {"wssMinimize", wssMinimize}, {"wssShowMinNoActive", wssShowMinNoActive}, {"wssShowNA", wssShowNA},
      {"wssRestore", wssRestore}, {"wssShowDefault", wssShowDefault}};
  component.Name = stored.name;
  for (const auto& [name, value] : stored.properties) {
    const std::string where = stored.name + "." + name;
    if (name.rfind("On", 0) == 0) {
      if (!wire(component, name, FormIdent(where, value))) throw EFormError(where + ": no handler " + value.text);
    } else if (name == "FileToRun") {
      component.FileToRun = FormString(where, value);
    } else if (name == "Parameters") {
      component.Parameters = FormString(where, value);
    } else if (name == "Priority") {
      auto it = priorities.find(FormIdent(where, value));
      if (it == priorities.end()) throw EFormError(where + ": unknown priority " + value.text);
      component.Priority = it->second;
    } else if (name == "ShowState") {
      auto it = states.find(FormIdent(where, value));
      if (it == states.end()) throw EFormError(where + ": unknown show state " + value.text);
      component.ShowState = it->second;
    } else if (name == "Position.Left") {
      component.Position.Left = static_cast<std::int32_t>(FormNumber(where, value));
    } else if (name == "Position.Top") {
      component.Position.Top = static_cast<std::int32_t>(FormNumber(where, value));
    } else if (name == "Position.Width") {
      component.Position.Width = static_cast<std::int32_t>(FormNumber(where, value));
    } else if (name == "Position.Height") {
      component.Position.Height = static_cast<std::int32_t>(FormNumber(where, value));
    } else if (name == "Tag") {
      component.Tag = static_cast<long>(FormNumber(where, value));
    } else {
      throw EFormError(stored.name + ": unknown property " + name);
    }
  }
  if (!stored.collections.empty()) throw EFormError(stored.name + ": unknown collection " + stored.collections[0].first);
}

}  // namespace nolt
