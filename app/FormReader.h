// Reads a form description: a tree of objects, each with its class, its stored
// property values and, for collection properties, the stored items.
//
//   object MainForm: TMainForm        an object and its class
//     Caption = 'NOLT-Patch-Setup'    a string ('' is a quote; #13 a byte code)
//     ClientWidth = 214               a number; True/False; an identifier
//     Items = <                       a collection ...
//       item                          ... of items with their own properties
//         Protocol = wpHttp
//       end>
//     object CAB: TCABFile ... end    an owned object
//   end
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nolt {

struct FormValue {
  enum Kind { String, Number, Identifier } kind = Identifier;
  std::string text;   // the string, the identifier, or the number as written
  long long number = 0;
};

using FormProperties = std::vector<std::pair<std::string, FormValue>>;

struct FormObject {
  std::string name;
  std::string className;
  FormProperties properties;
  // Collection properties: name -> items, each item a list of properties.
  std::vector<std::pair<std::string, std::vector<FormProperties>>> collections;
  std::vector<FormObject> children;
};

class EFormError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the whole description; throws EFormError with the line number on a syntax error.
FormObject ReadForm(const std::string& text);

// Conversions for the binders; each throws EFormError when the value has another kind.
bool FormBool(const std::string& property, const FormValue& v);
long long FormNumber(const std::string& property, const FormValue& v);
const std::string& FormString(const std::string& property, const FormValue& v);
const std::string& FormIdent(const std::string& property, const FormValue& v);

}  // namespace nolt
