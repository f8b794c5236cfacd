// Fields of the parameter record, and settings of the I/O component, by name: one table that
// turns "BmpKeepAlpha" and "true" into Params.BmpKeepAlpha = true and back. The command-line
// tool and scripts drive the library through it.
//
// Values are text: booleans "true"/"false" (also 1/0, yes/no, on/off), integers in decimal
// or 0x hexadecimal within the field's range, floating-point numbers, colours "r,g,b"
// (0..255 each), file types as a code or a name ("8", "ftPng"), texts as given (UTF-8).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "io/params.h"

namespace lumenax {

class TLumenaxIO;

struct ParamField {
  std::string Name;
  // The value as text.
  std::function<std::string(const TIOParamsVals&)> Get;
  // Parses and stores text; false for a value the field cannot take. Empty for fields that
  // are only read (ColorMapCount).
  std::function<bool(TIOParamsVals&, std::string_view)> Set;
};

// Describes a format group's fields for the table: a group provides
//   template <class V> static void DescribeFields(V& v) { v("BmpVersion", &BmpParams::BmpVersion);
//   ... }
// listing its scalar and text fields in declaration order (a field with a text form of its
// own is given as v("IcoSizes", &IcoParams::SizesText, &IcoParams::SetSizesText), two static
// functions of the group), or a specialisation of this
// template does it for the group (as io/param_fields.cpp does for groups declared elsewhere).
template <class Group>
struct ParamGroupFields {
  template <class V>
  static void Describe(V& v) {
    static_assert(
        requires { Group::DescribeFields(v); },
        "a parameter group needs DescribeFields or a ParamGroupFields specialisation");
    Group::DescribeFields(v);
  }
};

// Every field with a scalar or text value in a stable order: the common fields, then the
// groups in declaration order, then IsNativePixelFormat and ColorMapCount.
const std::vector<ParamField>& ParamFieldTable();
const ParamField* FindParamField(std::string_view name);

// Settings of the component that are not fields of the record: NativePixelFormat (the
// record's IsNativePixelFormat), AutoAdjustDPI, FilteredAdjustDPI, StreamHeaders,
// Background.
struct IOProperty {
  std::string Name;
  std::function<std::string(const TLumenaxIO&)> Get;
  std::function<bool(TLumenaxIO&, std::string_view)> Set;
};
const std::vector<IOProperty>& IOPropertyTable();

enum class SetValueResult { Ok, UnknownKey, BadValue };
// Sets a component setting or a field of io.Params by name.
SetValueResult SetIOValue(TLumenaxIO& io, std::string_view key, std::string_view value);
// Checks that key names a settable field or setting and value suits it, without setting.
SetValueResult CheckIOValue(std::string_view key, std::string_view value);

// "ftPng" for ftPng and so on; nullptr for codes without a name.
const char* FileTypeName(FileType type);
bool FileTypeFromName(std::string_view name, FileType& type);

}  // namespace lumenax
