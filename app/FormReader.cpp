#include "app/FormReader.h"

#include <cctype>

#include "base/Text.h"

namespace nolt {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines_.push_back(Trim(text.substr(start, end - start)));
      start = end + 1;
    }
  }

  FormObject ParseRoot() {
    SkipBlank();
    FormObject root = ParseObject();
    SkipBlank();
    if (pos_ < lines_.size()) Fail("text after the last end");
    return root;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw EFormError("form description, line " + std::to_string(pos_ + 1) + ": " + what);
  }

  void SkipBlank() {
    while (pos_ < lines_.size() && lines_[pos_].empty()) ++pos_;
  }

  const std::string& Next() {
    SkipBlank();
    if (pos_ >= lines_.size()) Fail("unexpected end");
    return lines_[pos_];
  }

  FormObject ParseObject() {
    const std::string& head = Next();
    if (head.rfind("object ", 0) != 0) Fail("expected 'object Name: Class'");
    std::size_t colon = head.find(':');
    if (colon == std::string::npos) Fail("expected 'object Name: Class'");
    FormObject obj;
    obj.name = Trim(head.substr(7, colon - 7));
    obj.className = Trim(head.substr(colon + 1));
    ++pos_;
    for (;;) {
      const std::string& line = Next();
      if (line == "end") {
        ++pos_;
        return obj;
      }
      if (line.rfind("object ", 0) == 0) {
        obj.children.push_back(ParseObject());
        continue;
      }
      auto [name, rest] = SplitAssignment(line);
      if (rest == "<>") {
        obj.collections.push_back({name, {}});
        ++pos_;
      } else if (rest == "<") {
        ++pos_;
        obj.collections.push_back({name, ParseItems()});
      } else {
        obj.properties.push_back({name, ParseValue(rest)});
        ++pos_;
      }
    }
  }

  std::vector<FormProperties> ParseItems() {
    std::vector<FormProperties> items;
    for (;;) {
      const std::string& line = Next();
      if (line != "item") Fail("expected 'item'");
      ++pos_;
      FormProperties props;
      for (;;) {
        const std::string& l = Next();
        if (l == "end" || l == "end>") {
          ++pos_;
          items.push_back(std::move(props));
          if (l == "end>") return items;
          break;
        }
        auto [name, rest] = SplitAssignment(l);
        props.push_back({name, ParseValue(rest)});
        ++pos_;
      }
    }
  }

  std::pair<std::string, std::string> SplitAssignment(const std::string& line) const {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) Fail("expected 'Name = value'");
    std::string name = Trim(line.substr(0, eq));
    if (name.empty()) Fail("property without a name");
    return {name, Trim(line.substr(eq + 1))};
  }

  // 'text' with '' for a quote, joined with #nn byte codes: 'a'#13#10'b'.
  FormValue ParseValue(const std::string& s) const {
    FormValue v;
    if (s.empty()) Fail("missing value");
    if (s[0] == '\'' || s[0] == '#') {
      v.kind = FormValue::String;
      std::size_t i = 0;
      while (i < s.size()) {
        if (s[i] == '\'') {
          ++i;
          for (;;) {
            if (i >= s.size()) Fail("unterminated string");
            if (s[i] == '\'') {
              if (i + 1 < s.size() && s[i + 1] == '\'') {
                v.text += '\'';
                i += 2;
                continue;
              }
              ++i;
              break;
            }
            v.text += s[i++];
          }
        } else if (s[i] == '#') {
          ++i;
          int code = 0;
          std::size_t digits = 0;
          while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
            code = code * 10 + (s[i++] - '0');
            if (++digits > 3 || code > 255) Fail("bad byte code");
          }
          if (digits == 0) Fail("bad byte code");
          v.text += static_cast<char>(code);
        } else {
          Fail("bad string value");
        }
      }
      return v;
    }
    if (s[0] == '-' || std::isdigit(static_cast<unsigned char>(s[0]))) {
      v.kind = FormValue::Number;
      v.text = s;
      std::size_t used = 0;
      try {
        v.number = std::stoll(s, &used);
      } catch (const std::exception&) {
        Fail("bad number");
      }
      if (used != s.size()) Fail("bad number");
      return v;
    }
    for (char c : s)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.') Fail("bad identifier");
    v.kind = FormValue::Identifier;
    v.text = s;
    return v;
  }

  std::vector<std::string> lines_;
  std::size_t pos_ = 0;
};

}  // namespace

FormObject ReadForm(const std::string& text) { return Parser(text).ParseRoot(); }

bool FormBool(const std::string& property, const FormValue& v) {
  if (v.kind == FormValue::Identifier && v.text == "True") return true;
  if (v.kind == FormValue::Identifier && v.text == "False") return false;
  throw EFormError(property + ": expected True or False");
}

long long FormNumber(const std::string& property, const FormValue& v) {
  if (v.kind != FormValue::Number) throw EFormError(property + ": expected a number");
  return v.number;
}

const std::string& FormString(const std::string& property, const FormValue& v) {
  if (v.kind != FormValue::String) throw EFormError(property + ": expected a string");
  return v.text;
}

const std::string& FormIdent(const std::string& property, const FormValue& v) {
  if (v.kind != FormValue::Identifier) throw EFormError(property + ": expected an identifier");
  return v.text;
}

}  // namespace nolt
